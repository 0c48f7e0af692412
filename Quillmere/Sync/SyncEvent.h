#pragma once

#include <QDateTime>
#include <QString>
#include <optional>

namespace quillmere {

// One transfer of the sync engine, as the sync status reads it: a start (no end date) or an end.
struct SyncEvent {
    enum class Type { setup = 0, import = 1, export_ = 2, unknown = 3 };
    Type type = Type::unknown;
    QDateTime startDate;
    std::optional<QDateTime> endDate;
    bool succeeded = false;
    std::optional<QString> errorDescription;
};

} // namespace quillmere
