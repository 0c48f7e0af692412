// Feeds arbitrary bytes to the Page file reader and to the import mapping of its clips.

#include "Quillmere/Archive/PageFile.h"

#include <cstddef>
#include <cstdint>

using namespace quillmere;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto result = pagefile::decode(bytes, pagefile::maxBytes);
    if (!result.ok()) {
        (void)result.error().userMessage();
        return 0;
    }
    const PageArchive &archive = result.value();
    (void)pagefile::suggestedFileName(archive);
    for (const ArchivedClip &clip : archive.clips) {
        const CapturedContent content = clip.capturedContent();
        (void)content.contentHash();
        // An imported file clip never carries a path.
        if (content.fileName && content.fileName->contains(QLatin1Char('/')))
            __builtin_trap();
    }
    const auto again = pagefile::encoded(archive, qint64(1) << 40);
    if (!again.ok() || !(pagefile::decode(again.value(), qint64(1) << 40).value() == archive))
        __builtin_trap();
    return 0;
}
