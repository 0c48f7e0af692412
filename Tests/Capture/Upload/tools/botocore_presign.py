#!/usr/bin/python3
"""Presigns requests with botocore, an independent signer. Reads one JSON object per line
(method, host, path, expires, time "YYYYmmddTHHMMSSZ", region, accessKeyID, secretAccessKey) and
writes one URL per line. The path is encoded here with the standard library, not by the caller."""
import datetime
import json
import sys
from urllib.parse import quote

import botocore.auth
from botocore.awsrequest import AWSRequest
from botocore.credentials import Credentials

fixed = None


class FixedClock(datetime.datetime):
    @classmethod
    def utcnow(cls):
        return fixed


botocore.auth.datetime.datetime = FixedClock

for line in sys.stdin:
    case = json.loads(line)
    fixed = datetime.datetime.strptime(case["time"], "%Y%m%dT%H%M%SZ")
    url = "https://" + case["host"] + quote(case["path"], safe="/~")
    request = AWSRequest(method=case["method"], url=url)
    signer = botocore.auth.S3SigV4QueryAuth(
        Credentials(case["accessKeyID"], case["secretAccessKey"]), "s3", case["region"], expires=case["expires"])
    signer.add_auth(request)
    print(request.url, flush=True)
