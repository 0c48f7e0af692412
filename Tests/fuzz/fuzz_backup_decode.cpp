// Feeds arbitrary bytes to the backup reader and to what a restore does with its result.

#include "Quillmere/Archive/BackupArchive.h"

#include <cstddef>
#include <cstdint>

using namespace quillmere;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    // A small bound keeps a runaway inflation inside the fuzzer's memory limit.
    const ClipArchiveReadResult result = backup::decode(bytes, 4 << 20);
    if (!result.ok()) {
        (void)result.error().errorDescription();
        return 0;
    }
    const ClipArchiveDocument &doc = result.value();
    for (const ClipArchiveClip &clip : doc.clips) {
        (void)clip.restoredContent();
        (void)clip.recomputedHash();
    }
    (void)doc.clipsToImport({});
    // What was read must write back and read again as the same document.
    const auto again = backup::encoded(doc);
    if (!again || !(backup::decode(*again, 64 << 20).value() == doc))
        __builtin_trap();
    return 0;
}
