#pragma once

#include "Quillmere/Model/ClipKind.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QUuid>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

namespace quillmere {

class ModelContext;
class Pinboard;
class StoreRows;

// The kinds of stored record; StoreRows describes how each one sits in the store.
enum class Entity { clip, page, settings, brand };

struct PersistentIdentifier {
    QString entity;
    qint64 rowID = 0;

    bool isValid() const { return rowID > 0; }
    QString description() const { return entity + QStringLiteral("/p") + QString::number(rowID); }
    bool operator==(const PersistentIdentifier &) const = default;
};

// Base of every stored record: identity in the store, the deleted flag and change tracking.
// Setters report to the owning context so a save writes just what changed.
class PersistentModel {
public:
    virtual ~PersistentModel() = default;
    PersistentModel(const PersistentModel &) = delete;
    PersistentModel &operator=(const PersistentModel &) = delete;

    virtual Entity entity() const = 0;
    QString entityName() const;
    PersistentIdentifier persistentModelID() const { return {entityName(), m_rowID}; }
    bool isDeleted() const { return m_deleted; }
    ModelContext *modelContext() const { return m_context; }
    // When the record last changed in a save; a later sync layer exports by it.
    QDateTime modifiedAt() const { return m_modifiedAt; }

protected:
    PersistentModel() = default;
    void touch();

private:
    friend class ModelContext;
    friend class StoreRows;
    ModelContext *m_context = nullptr;
    qint64 m_rowID = 0;
    bool m_deleted = false;
    QDateTime m_modifiedAt;
};

// Image and file bytes stay on disk until someone reads them.
class LazyBlob {
public:
    bool isLoaded() const { return m_loaded; }
    qint64 size() const { return m_size; } // -1 when there is no value
    bool isDirty() const { return m_dirty; }

private:
    friend class ClipItem;
    friend class ModelContext;
    friend class StoreRows;
    mutable std::optional<QByteArray> m_data;
    mutable bool m_loaded = true;
    qint64 m_size = -1;
    bool m_dirty = false;
};

#define QUILLMERE_FIELD(Type, getter, setter, member)                                                                  \
public:                                                                                                                \
    const Type &getter() const                                                                                         \
    {                                                                                                                  \
        return member;                                                                                                 \
    }                                                                                                                  \
    void setter(const Type &value)                                                                                     \
    {                                                                                                                  \
        if (member == value)                                                                                           \
            return;                                                                                                    \
        member = value;                                                                                                \
        touch();                                                                                                       \
    }                                                                                                                  \
                                                                                                                       \
private:                                                                                                               \
    Type member;

class ClipItem : public PersistentModel {
public:
    ClipItem();
    Entity entity() const override { return Entity::clip; }

    QUILLMERE_FIELD(QDateTime, createdAt, setCreatedAt, m_createdAt)
    QUILLMERE_FIELD(QString, kindRawValue, setKindRawValue, m_kindRawValue)
    QUILLMERE_FIELD(std::optional<QString>, text, setText, m_text)
    QUILLMERE_FIELD(std::optional<QString>, fileName, setFileName, m_fileName)
    QUILLMERE_FIELD(std::optional<QString>, fileTypeIdentifier, setFileTypeIdentifier, m_fileTypeIdentifier)
    QUILLMERE_FIELD(std::optional<QString>, customTitle, setCustomTitle, m_customTitle)
    QUILLMERE_FIELD(std::optional<QString>, recognizedText, setRecognizedText, m_recognizedText)
    QUILLMERE_FIELD(std::optional<QString>, sourceAppName, setSourceAppName, m_sourceAppName)
    QUILLMERE_FIELD(std::optional<QString>, sourceAppBundleID, setSourceAppBundleID, m_sourceAppBundleID)
    QUILLMERE_FIELD(bool, isPinned, setIsPinned, m_isPinned)
    QUILLMERE_FIELD(QUuid, dedupID, setDedupID, m_dedupID)
    QUILLMERE_FIELD(std::optional<QString>, linkTitle, setLinkTitle, m_linkTitle)
    QUILLMERE_FIELD(std::optional<QDateTime>, expiresAt, setExpiresAt, m_expiresAt)
    QUILLMERE_FIELD(bool, isSavedToPage, setIsSavedToPage, m_isSavedToPage)
    QUILLMERE_FIELD(qint64, payloadByteCount, setPayloadByteCount, m_payloadByteCount)
    // Orders clips as they were captured, for the history limit: the wall clock's milliseconds, but
    // above every earlier capture's, so a clock stepped either way keeps the order. 0 until stored,
    // when a clip not captured here (synced, imported) takes its date.
    QUILLMERE_FIELD(qint64, captureOrder, setCaptureOrder, m_captureOrder)

public:
    // How far past its capture order a copy may be dated: copies the clock cannot tell apart (the
    // same millisecond, or a clock put back by less than this) are dated to show in the order made.
    static constexpr qint64 captureDateLeadMs = 1000;
    // How far the capture orders of clips captured apart from a history (in memory meanwhile, or
    // in a recovery file) are raised to come after `last`, that history's, when `lowest` is the
    // lowest of them: as much for all, so that they keep their order among themselves.
    static qint64 captureOrderLift(qint64 lowest, qint64 last)
    {
        if (lowest > last)
            return 0;
        qint64 by = 0;
        if (__builtin_sub_overflow(last, lowest, &by) || by == std::numeric_limits<qint64>::max())
            return std::numeric_limits<qint64>::max();
        return by + 1;
    }
    // The end of the range is shared rather than wrapped.
    static qint64 liftedCaptureOrder(qint64 order, qint64 by)
    {
        qint64 lifted = 0;
        return __builtin_add_overflow(order, by, &lifted) ? std::numeric_limits<qint64>::max() : lifted;
    }

    ClipKind kind() const { return clipKindOrText(m_kindRawValue); }
    void setKind(ClipKind kind) { setKindRawValue(rawValue(kind)); }

    const QString &contentHash() const;
    void setContentHash(const QString &hash);

    std::optional<QByteArray> imageData() const;
    std::optional<QByteArray> fileData() const;
    void setImageData(const std::optional<QByteArray> &data);
    void setFileData(const std::optional<QByteArray> &data);
    // Sizes without loading the bytes; "no data" and zero bytes are both false.
    bool hasImageData() const { return m_image.m_size > 0; }
    bool hasFileData() const { return m_file.m_size > 0; }
    qint64 imageDataSize() const { return std::max<qint64>(0, m_image.m_size); }
    qint64 fileDataSize() const { return std::max<qint64>(0, m_file.m_size); }
    // Whether the bytes sit in memory; nothing to load counts as loaded.
    bool isImageDataLoaded() const { return m_image.isLoaded(); }
    bool isFileDataLoaded() const { return m_file.isLoaded(); }

    const std::shared_ptr<Pinboard> &pinboard() const { return m_pinboard; }
    void setPinboard(const std::shared_ptr<Pinboard> &page);

    // The hash this clip's present content gives (image and file bytes are loaded for it).
    QString computeContentHash() const;

private:
    friend class ModelContext;
    friend class StoreRows;
    // A hash the store did not keep, as the content it was read with gives it: computed when first
    // asked for, as most clips read are never asked.
    struct HashFromContent {
        QString kindRawValue;
        std::optional<QString> text, fileName, fileTypeIdentifier;
    };
    mutable QString m_contentHash;
    mutable std::optional<HashFromContent> m_hashFromContent;
    LazyBlob m_image;
    LazyBlob m_file;
    std::shared_ptr<Pinboard> m_pinboard;
};

class Pinboard : public PersistentModel {
public:
    Pinboard();
    Entity entity() const override { return Entity::page; }

    QUILLMERE_FIELD(QString, name, setName, m_name)
    QUILLMERE_FIELD(QString, colorName, setColorName, m_colorName)
    QUILLMERE_FIELD(QString, iconName, setIconName, m_iconName)
    QUILLMERE_FIELD(qint64, sortOrder, setSortOrder, m_sortOrder)
    QUILLMERE_FIELD(QDateTime, createdAt, setCreatedAt, m_createdAt)
    QUILLMERE_FIELD(QUuid, dedupID, setDedupID, m_dedupID)
    QUILLMERE_FIELD(QString, lockSalt, setLockSalt, m_lockSalt)
    QUILLMERE_FIELD(QString, lockHash, setLockHash, m_lockHash)

public:
    // The name, or "Untitled" when it is empty; blanks are kept as they are.
    QString displayName() const;
    bool isLocked() const { return !m_lockSalt.isEmpty() && !m_lockHash.isEmpty(); }
    // The clips on this Page, in no particular order.
    std::vector<std::shared_ptr<ClipItem>> items() const;
};

class AppSettings : public PersistentModel {
public:
    AppSettings();
    Entity entity() const override { return Entity::settings; }
    // The history limits a user can choose.
    static inline const QList<qint64> offeredHistoryLimits{100, 200, 500, 1000, 2000};

    QUILLMERE_FIELD(qint64, historyLimitValue, setHistoryLimitValue, m_historyLimitValue)
    QUILLMERE_FIELD(QDateTime, updatedAt, setUpdatedAt, m_updatedAt)
    QUILLMERE_FIELD(QUuid, recordID, setRecordID, m_recordID)
};

class SourceAppBrand : public PersistentModel {
public:
    SourceAppBrand();
    Entity entity() const override { return Entity::brand; }

    QUILLMERE_FIELD(QString, bundleID, setBundleID, m_bundleID)
    QUILLMERE_FIELD(QString, appName, setAppName, m_appName)
    QUILLMERE_FIELD(QString, colorHex, setColorHex, m_colorHex)
    QUILLMERE_FIELD(std::optional<QByteArray>, iconPNG, setIconPNG, m_iconPNG)
    QUILLMERE_FIELD(QDateTime, updatedAt, setUpdatedAt, m_updatedAt)
    QUILLMERE_FIELD(QUuid, recordID, setRecordID, m_recordID)
};

#undef QUILLMERE_FIELD

using ClipRef = std::shared_ptr<ClipItem>;
using PageRef = std::shared_ptr<Pinboard>;
using SettingsRef = std::shared_ptr<AppSettings>;
using BrandRef = std::shared_ptr<SourceAppBrand>;

} // namespace quillmere
