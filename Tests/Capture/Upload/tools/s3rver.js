// Starts an S3-compatible server on 127.0.0.1 with one bucket, "shots", prints its port as one JSON
// line and stops when standard input closes (the test ends).
// Usage: node s3rver.js <folder holding node_modules> <data folder>
const path = require('path');
const S3rver = require(path.join(process.argv[2], 'node_modules', 's3rver'));

const server = new S3rver({
  address: '127.0.0.1',
  port: 0,
  silent: true,
  directory: process.argv[3],
  configureBuckets: [{ name: 'shots' }],
});
server.run().then(
  (address) => process.stdout.write(JSON.stringify({ port: address.port }) + '\n'),
  (error) => {
    process.stderr.write(String(error) + '\n');
    process.exit(1);
  },
);
process.stdin.on('end', () => server.close().then(() => process.exit(0)));
process.stdin.resume();
