#pragma once

#include "Quillmere/Model/Records.h"

#include <QDateTime>
#include <QString>
#include <memory>
#include <vector>

// Recovery files as older releases wrote them, for the tests of reading them back.
namespace quillmere::test {

// One file beside the store at `storePath` holding `records` (clips newest first, Pages by name),
// as a quit at `now` wrote it; its path, or empty when it could not be written.
QString writeOldRecoveryFile(const QString &storePath, const std::vector<std::shared_ptr<PersistentModel>> &records,
                             const QDateTime &now);

} // namespace quillmere::test
