#pragma once

#include "Quillmere/Model/Records.h"

#include <QDateTime>
#include <QString>
#include <memory>
#include <vector>

namespace quillmere::UnsavedRecovery {

// What a store could not take before quitting, kept as JSON beside it: clips with their content
// and the Pages they name. Empty when nothing could be written (`error` says why).
QString write(const QString &storePath, const std::vector<std::shared_ptr<PersistentModel>> &records,
              const QDateTime &now, QString *error);
// The newest such file beside the store; empty when there is none.
QString newest(const QString &storePath);

} // namespace quillmere::UnsavedRecovery
