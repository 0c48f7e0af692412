#pragma once

#include "Quillmere/Model/Records.h"

#include <QObject>
#include <QString>
#include <memory>

namespace quillmere {

// The upload state one card shows; the upload flows set it, the card redraws on `changed`.
class CaptureOverlayUploadProgress : public QObject {
    Q_OBJECT
public:
    enum class Kind { idle, uploading, done, failed };
    struct State {
        Kind kind = Kind::idle;
        QString message; // failed only
        QString reason;  // failed only: why, for the help text
        bool operator==(const State &) const = default;
        static State failed(const QString &message, const QString &reason = {})
        {
            return {Kind::failed, message, reason};
        }
        // What the failed state's help text says.
        QString help() const { return reason.isEmpty() ? message : message + QStringLiteral(": ") + reason; }
    };

    explicit CaptureOverlayUploadProgress(State state, QObject *parent = nullptr) : QObject(parent), m_state(state) {}
    const State &state() const { return m_state; }
    void setState(const State &state)
    {
        if (state == m_state)
            return;
        m_state = state;
        Q_EMIT changed();
    }

Q_SIGNALS:
    void changed();

private:
    State m_state;
};

// What the coordinator asks of the screen after a capture; the card and the toast draw it.
class CapturePresenter {
public:
    virtual ~CapturePresenter() = default;
    // Replaces any card shown; the progress object lives as long as someone holds it.
    virtual std::shared_ptr<CaptureOverlayUploadProgress> showCard(const ClipRef &clip,
                                                                   CaptureOverlayUploadProgress::Kind uploadState) = 0;
    virtual void showToast(const ClipRef &clip) = 0;
};

} // namespace quillmere
