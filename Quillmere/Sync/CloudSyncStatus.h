#pragma once

#include "Quillmere/Model/ModelContainer.h"

#include <QObject>

namespace quillmere {

// The sync state the rest of the program reads. This build has no cloud container, so it only
// reports the persistence mode it was made with.
class CloudSyncStatus : public QObject {
    Q_OBJECT
public:
    CloudSyncStatus(PersistenceMode mode, bool probesCloudKit, QObject *parent = nullptr)
        : QObject(parent), m_mode(mode), m_probesCloudKit(probesCloudKit)
    {
    }
    PersistenceMode mode() const { return m_mode; }
    bool probesCloudKit() const { return m_probesCloudKit; }

private:
    PersistenceMode m_mode;
    bool m_probesCloudKit;
};

} // namespace quillmere
