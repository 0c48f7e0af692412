#include "Quillmere/Model/StoreRows.h"

#include "Quillmere/Model/CapturedContent.h"
#include "Quillmere/Model/SHA256Digest.h"
#include "Quillmere/Platform/Core/Json.h"

#include <QSqlDriver>
#include <QStringList>
#include <QtEndian>

namespace quillmere {

std::optional<QString> optionalText(const QVariant &v)
{
    if (v.isNull())
        return std::nullopt;
    return v.toString();
}

std::optional<QDateTime> optionalDate(const QVariant &v)
{
    if (v.isNull())
        return std::nullopt;
    return QDateTime::fromMSecsSinceEpoch(v.toLongLong(), Qt::UTC);
}

QVariant dateValue(const QDateTime &date)
{
    return QVariant(date.toMSecsSinceEpoch());
}

int sqliteCode(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok ? (code & 0xff) : -1;
}

QString describe(const QSqlError &error)
{
    return error.text().isEmpty() ? QStringLiteral("unknown database error") : error.text();
}

sqlite3 *sqliteHandle(const QSqlDatabase &db)
{
    const QVariant handle = db.isOpen() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(handle.constData());
}

bool execWith(QSqlQuery &q, const QVariantList &values, QSqlError *error)
{
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values[i]);
    if (q.exec())
        return true;
    *error = q.lastError();
    return false;
}

namespace ClipKeys {
namespace {

// Three bytes tell a clip from some sixteen million others; the index holds no more of them.
constexpr qsizetype kDedupPrefix = 3;

bool isCanonicalHash(const QString &hash)
{
    if (hash.size() != 64)
        return false;
    for (QChar c : hash)
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f')))
            return false;
    return true;
}

// A text the store gives back exactly as it was bound; an empty one may come back as none. SQLite
// reads U+FFFE and U+FFFF back as U+FFFD; no non-character is trusted to survive.
bool keptExactly(const std::optional<QString> &text, bool required)
{
    if (!text)
        return !required;
    if (text->isEmpty() || text->contains(QChar(0)) || QString::fromUtf8(text->toUtf8()) != *text)
        return false;
    const QChar *c = text->constData();
    const QChar *const end = c + text->size();
    for (; c != end; ++c) {
        // Lone surrogates were refused above, so a high one has its low one.
        const char32_t point = c->isHighSurrogate() ? QChar::surrogateToUcs4(c[0], c[1]) : c->unicode();
        if (QChar::isNonCharacter(point))
            return false;
        if (point > 0xffff)
            ++c;
    }
    return true;
}

QString hashOf(const HashSource &s)
{
    return CapturedContent::contentHash(clipKindOrText(s.kindRawValue), s.text, std::nullopt, std::nullopt, s.fileName,
                                        s.fileTypeIdentifier);
}

} // namespace

QVariant dedupID(const QUuid &id)
{
    return id.toRfc4122();
}

QUuid dedupIDFrom(const QVariant &stored)
{
    if (stored.typeId() == QMetaType::QByteArray) {
        const QByteArray bytes = stored.toByteArray();
        return bytes.size() == 16 ? QUuid::fromRfc4122(bytes) : QUuid();
    }
    return QUuid::fromString(stored.toString());
}

QString dedupIDText(const QVariant &stored)
{
    return stored.typeId() == QMetaType::QByteArray ? uuidText(dedupIDFrom(stored)) : stored.toString();
}

QString dedupIDCondition()
{
    // "+": a plain dedupID = ? would be put into the other term, which then misses the index.
    return QStringLiteral("substr(dedupID, 1, %1) = ? AND +dedupID = ?").arg(kDedupPrefix);
}

QVariantList dedupIDValues(const QUuid &id)
{
    const QByteArray bytes = id.toRfc4122();
    return {bytes.left(kDedupPrefix), bytes};
}

QVariant contentHash(const QString &hash, const HashSource &source)
{
    if (!isCanonicalHash(hash))
        return hash.isNull() ? QVariant(QStringLiteral("")) : QVariant(hash);
    if (!source.hasBytes && keptExactly(source.text, true) && keptExactly(source.fileName, false)
        && keptExactly(source.fileTypeIdentifier, false) && hashOf(source) == hash)
        return QByteArray(""); // the row's own words give it back
    return QByteArray::fromHex(hash.toLatin1());
}

bool isHashFromContent(const QVariant &stored)
{
    return stored.typeId() == QMetaType::QByteArray && stored.toByteArray().isEmpty();
}

QString contentHashFrom(const QVariant &stored, const HashSource &source)
{
    if (stored.typeId() != QMetaType::QByteArray)
        return stored.toString();
    const QByteArray bytes = stored.toByteArray();
    return bytes.isEmpty() ? hashOf(source) : SHA256Digest{bytes}.hexString();
}

qint32 contentHashKey(const QString &hash)
{
    const QByteArray digest =
        isCanonicalHash(hash) ? QByteArray::fromHex(hash.left(8).toLatin1()) : SHA256Digest::of(hash.toUtf8()).bytes;
    // Three bytes, as for the dedupID: a number SQLite keeps in three.
    return qFromBigEndian<qint32>(digest.constData()) >> 8;
}

} // namespace ClipKeys

namespace {

// Each stored type's form in a column and back. NOT NULL text columns bind an empty text, never a
// null QString (which would be SQL NULL).
QVariant toStore(const QString &v)
{
    return v.isNull() ? QVariant(QStringLiteral("")) : QVariant(v);
}
QVariant toStore(const std::optional<QString> &v)
{
    return v ? QVariant(*v) : QVariant(QMetaType::fromType<QString>());
}
QVariant toStore(const QDateTime &v)
{
    return dateValue(v);
}
QVariant toStore(const std::optional<QDateTime> &v)
{
    return v ? dateValue(*v) : QVariant(QMetaType::fromType<qlonglong>());
}
QVariant toStore(bool v)
{
    return v ? 1 : 0;
}
QVariant toStore(qint64 v)
{
    return v;
}
QVariant toStore(const QUuid &v)
{
    return uuidText(v);
}
QVariant toStore(const std::optional<QByteArray> &v)
{
    return v ? QVariant(*v) : QVariant(QMetaType::fromType<QByteArray>());
}

template <class T> T fromStore(const QVariant &v);
template <> QString fromStore<QString>(const QVariant &v)
{
    return v.toString();
}
template <> std::optional<QString> fromStore<std::optional<QString>>(const QVariant &v)
{
    return optionalText(v);
}
template <> QDateTime fromStore<QDateTime>(const QVariant &v)
{
    return QDateTime::fromMSecsSinceEpoch(v.toLongLong(), Qt::UTC);
}
template <> std::optional<QDateTime> fromStore<std::optional<QDateTime>>(const QVariant &v)
{
    return optionalDate(v);
}
template <> bool fromStore<bool>(const QVariant &v)
{
    return v.toBool();
}
template <> qint64 fromStore<qint64>(const QVariant &v)
{
    return v.toLongLong();
}
template <> QUuid fromStore<QUuid>(const QVariant &v)
{
    return QUuid::fromString(v.toString());
}
template <> std::optional<QByteArray> fromStore<std::optional<QByteArray>>(const QVariant &v)
{
    return v.isNull() ? std::nullopt : std::optional<QByteArray>(v.toByteArray());
}

enum Key { plain, indexed };

// A field kept through the record's getter and setter.
template <class R, class T>
StoreField field(const char *column, const T &(R::*get)() const, void (R::*set)(const T &), Key key = plain)
{
    return {QString::fromLatin1(column),
            [set](PersistentModel &r, const QVariant &v, const PageLookup &) {
                (static_cast<R &>(r).*set)(fromStore<T>(v));
            },
            [get](const PersistentModel &r) { return toStore((static_cast<const R &>(r).*get)()); }, key == indexed};
}

template <class R> std::shared_ptr<PersistentModel> make()
{
    return std::make_shared<R>();
}

} // namespace

QString EntityRows::columns() const
{
    QStringList names{QStringLiteral("id")};
    for (const StoreField &f : fields)
        names << f.column;
    names << QStringLiteral("modifiedAt");
    return names.join(QStringLiteral(", "));
}

void EntityRows::read(const QSqlQuery &q, PersistentModel &record, const PageLookup &pages) const
{
    for (int i = 0; i < int(fields.size()); ++i)
        fields[size_t(i)].read(record, q.value(i + 1), pages);
}

QVariantList EntityRows::values(const PersistentModel &record, qint64 rowID, qint64 modifiedAt) const
{
    QVariantList out{rowID};
    for (const StoreField &f : fields)
        out << f.bind(record);
    out << modifiedAt;
    return out;
}

const EntityRows &StoreRows::of(Entity entity)
{
    static const std::array<EntityRows, 4> all{clips(), pages(), settings(), brands()};
    return all[size_t(entity)];
}

EntityRows StoreRows::clips()
{
    using C = ClipItem;
    // A stored size tells whether there are bytes to load; the bytes wait until they are read.
    auto blobSize = [](LazyBlob &(*of)(PersistentModel &), const char *column) {
        return StoreField{
            QString::fromLatin1(column),
            [of](PersistentModel &r, const QVariant &v, const PageLookup &) {
                LazyBlob &blob = of(r);
                blob.m_size = v.toLongLong();
                blob.m_loaded = blob.m_size <= 0;
                blob.m_data = blob.m_size < 0 ? std::nullopt : std::optional<QByteArray>(QByteArray());
                blob.m_dirty = false;
            },
            [of](const PersistentModel &r) { return QVariant(of(const_cast<PersistentModel &>(r)).m_size); }};
    };
    LazyBlob &(*image)(PersistentModel &) = [](PersistentModel &r) -> LazyBlob & {
        return static_cast<C &>(r).m_image;
    };
    LazyBlob &(*file)(PersistentModel &) = [](PersistentModel &r) -> LazyBlob & { return static_cast<C &>(r).m_file; };
    StoreField page{QStringLiteral("pinboardID"),
                    [](PersistentModel &r, const QVariant &v, const PageLookup &pages) {
                        static_cast<C &>(r).setPinboard(v.isNull() ? nullptr : pages(v.toLongLong()));
                    },
                    [](const PersistentModel &r) {
                        const PageRef &p = static_cast<const C &>(r).pinboard();
                        return p && p->m_rowID > 0 && !p->m_deleted ? QVariant(p->m_rowID)
                                                                    : QVariant(QMetaType::fromType<qlonglong>());
                    },
                    true};
    StoreField dedupID{QStringLiteral("dedupID"),
                       [](PersistentModel &r, const QVariant &v, const PageLookup &) {
                           static_cast<C &>(r).setDedupID(ClipKeys::dedupIDFrom(v));
                       },
                       [](const PersistentModel &r) { return ClipKeys::dedupID(static_cast<const C &>(r).dedupID()); },
                       true};
    // Read after the fields it may be computed from; written with every change, as they may change.
    StoreField contentHash{
        QStringLiteral("contentHash"),
        [](PersistentModel &r, const QVariant &v, const PageLookup &) {
            C &c = static_cast<C &>(r);
            c.m_hashFromContent.reset();
            if (ClipKeys::isHashFromContent(v)) {
                c.m_contentHash.clear();
                c.m_hashFromContent =
                    C::HashFromContent{c.kindRawValue(), c.text(), c.fileName(), c.fileTypeIdentifier()};
            } else {
                c.m_contentHash = ClipKeys::contentHashFrom(v, {});
            }
        },
        [](const PersistentModel &r) {
            const C &c = static_cast<const C &>(r);
            return ClipKeys::contentHash(c.contentHash(),
                                         {c.kindRawValue(), c.text(), c.fileName(), c.fileTypeIdentifier(),
                                          c.m_image.m_size > 0 || c.m_file.m_size > 0});
        }};
    StoreField hashKey{QStringLiteral("hashKey"), [](PersistentModel &, const QVariant &, const PageLookup &) {},
                       [](const PersistentModel &r) {
                           return QVariant(ClipKeys::contentHashKey(static_cast<const C &>(r).contentHash()));
                       },
                       true};
    // A row an older release wrote has none: its date stands in until the next start fills it in.
    StoreField captureOrder{QStringLiteral("captureOrder"),
                            [](PersistentModel &r, const QVariant &v, const PageLookup &) {
                                C &c = static_cast<C &>(r);
                                c.setCaptureOrder(v.isNull() ? c.createdAt().toMSecsSinceEpoch() : v.toLongLong());
                            },
                            [](const PersistentModel &r) {
                                const C &c = static_cast<const C &>(r);
                                return QVariant(c.captureOrder() ? c.captureOrder()
                                                                 : c.createdAt().toMSecsSinceEpoch());
                            },
                            true};
    return {Entity::clip,
            QStringLiteral("ClipItem"),
            QStringLiteral("clips"),
            {dedupID,
             field("createdAt", &C::createdAt, &C::setCreatedAt, indexed),
             field("kind", &C::kindRawValue, &C::setKindRawValue),
             field("text", &C::text, &C::setText),
             field("fileName", &C::fileName, &C::setFileName),
             field("fileTypeIdentifier", &C::fileTypeIdentifier, &C::setFileTypeIdentifier),
             field("customTitle", &C::customTitle, &C::setCustomTitle),
             field("recognizedText", &C::recognizedText, &C::setRecognizedText),
             field("sourceAppName", &C::sourceAppName, &C::setSourceAppName),
             field("sourceAppBundleID", &C::sourceAppBundleID, &C::setSourceAppBundleID),
             field("isPinned", &C::isPinned, &C::setIsPinned, indexed),
             contentHash,
             field("linkTitle", &C::linkTitle, &C::setLinkTitle),
             field("expiresAt", &C::expiresAt, &C::setExpiresAt, indexed),
             page,
             field("isSavedToPage", &C::isSavedToPage, &C::setIsSavedToPage, indexed),
             field("payloadByteCount", &C::payloadByteCount, &C::setPayloadByteCount),
             blobSize(image, "imageSize"),
             blobSize(file, "fileSize"),
             hashKey,
             captureOrder},
            {{QStringLiteral("clip_images"), image}, {QStringLiteral("clip_files"), file}},
            /*loadedWhenAsked*/ true,
            /*referencedByRow*/ false,
            /*updatedInPlace*/ true,
            make<C>,
            [](const PersistentModel &r) { return static_cast<const C &>(r).dedupID(); }};
}

EntityRows StoreRows::pages()
{
    using P = Pinboard;
    return {Entity::page,
            QStringLiteral("Pinboard"),
            QStringLiteral("pinboards"),
            {field("dedupID", &P::dedupID, &P::setDedupID), field("name", &P::name, &P::setName),
             field("colorName", &P::colorName, &P::setColorName), field("iconName", &P::iconName, &P::setIconName),
             field("sortOrder", &P::sortOrder, &P::setSortOrder), field("createdAt", &P::createdAt, &P::setCreatedAt),
             field("lockSalt", &P::lockSalt, &P::setLockSalt), field("lockHash", &P::lockHash, &P::setLockHash)},
            {},
            /*loadedWhenAsked*/ false,
            /*referencedByRow*/ true,
            /*updatedInPlace*/ false,
            make<P>,
            [](const PersistentModel &r) { return static_cast<const P &>(r).dedupID(); }};
}

EntityRows StoreRows::settings()
{
    using S = AppSettings;
    return {Entity::settings,
            QStringLiteral("AppSettings"),
            QStringLiteral("app_settings"),
            {field("recordID", &S::recordID, &S::setRecordID),
             field("historyLimitValue", &S::historyLimitValue, &S::setHistoryLimitValue),
             field("updatedAt", &S::updatedAt, &S::setUpdatedAt)},
            {},
            false,
            false,
            false,
            make<S>,
            [](const PersistentModel &r) { return static_cast<const S &>(r).recordID(); }};
}

EntityRows StoreRows::brands()
{
    using B = SourceAppBrand;
    return {Entity::brand,
            QStringLiteral("SourceAppBrand"),
            QStringLiteral("source_app_brands"),
            {field("recordID", &B::recordID, &B::setRecordID), field("bundleID", &B::bundleID, &B::setBundleID),
             field("appName", &B::appName, &B::setAppName), field("colorHex", &B::colorHex, &B::setColorHex),
             field("iconPNG", &B::iconPNG, &B::setIconPNG), field("updatedAt", &B::updatedAt, &B::setUpdatedAt)},
            {},
            false,
            false,
            false,
            make<B>,
            [](const PersistentModel &r) { return static_cast<const B &>(r).recordID(); }};
}

} // namespace quillmere
