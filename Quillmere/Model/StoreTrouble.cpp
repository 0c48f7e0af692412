#include "Quillmere/Model/StoreTrouble.h"

#include <QStringList>

namespace quillmere {

namespace {

const auto copies = [](int n, const char *one) {
    return n == 1 ? QString::fromLatin1(one) : QStringLiteral("%1 copies").arg(n);
};
const auto were = [](int n) { return n == 1 ? QStringLiteral("was") : QStringLiteral("were"); };

// As many as are known: counted, bounded, or only known to be more. "Lost" alone only from a count
// that sees every clip lost. Not known when an earlier start read the history back, or nothing of
// its clips could be read: nothing is said of it then.
QString lostWords(const StoreSalvage::Loss &loss)
{
    const auto lostAre = [](const QString &howMany, int n) {
        return QStringLiteral(" %1 could not be read and %2 lost.").arg(howMany, were(n));
    };
    if (loss.lost < 0)
        return {};
    if (loss.lostAtMost == loss.lost)
        return loss.lost == 0 ? QStringLiteral(" No copy was lost.") : lostAre(copies(loss.lost, "1 copy"), loss.lost);
    if (loss.lostAtMost < 0)
        return loss.lost > 0
            ? lostAre(QStringLiteral("At least %1").arg(copies(loss.lost, "1 copy")), loss.lost)
            : QStringLiteral(" Parts of it could not be read: copies on them may be lost, though none could be "
                             "counted.");
    if (loss.lost > 0)
        return lostAre(QStringLiteral("Between %1 and %2 copies").arg(loss.lost).arg(loss.lostAtMost), 2);
    return lostAre(QStringLiteral("Up to %1").arg(copies(loss.lostAtMost, "1 copy")), loss.lostAtMost);
}

} // namespace

QString StoreTrouble::message() const
{
    switch (kind) {
    case Kind::storeMovedAside: {
        if (foreign)
            return QStringLiteral("Another program's database stood where Brindlewax keeps your clipboard history. "
                                  "It was set aside untouched as %1, and a new history was started.")
                .arg(path);
        QString text = resumed ? QStringLiteral("Brindlewax was stopped last time while it read back your damaged "
                                                "clipboard history; that is finished now. ")
                               : QString();
        if (count <= 0)
            return text
                + QStringLiteral("Your clipboard history could not be read and was set aside as %1. "
                                 "A new history was started.")
                      .arg(path)
                + lostWords(loss);
        text += QStringLiteral("Your clipboard history was damaged and was set aside as %1. %2 that could still be "
                               "read %3 kept in a new history.")
                    .arg(path, count == 1 ? QStringLiteral("The one copy") : QStringLiteral("The %1 copies").arg(count),
                         were(count))
            + lostWords(loss);
        if (const int kept = loss.damaged - loss.leftOut; kept > 0)
            text += QStringLiteral(" %1 of them came back with damaged content.").arg(kept);
        if (loss.leftOut > 0)
            text += QStringLiteral(" %1 came back with nothing of %2 left and %3 left out.")
                        .arg(copies(loss.leftOut, "1 copy"),
                             loss.leftOut == 1 ? QStringLiteral("it") : QStringLiteral("them"), were(loss.leftOut));
        return text;
    }
    case Kind::fallbackSession: {
        QString text = reason.isEmpty()
            ? (path.isEmpty() ? QStringLiteral("Your clipboard history cannot be saved to its file now.")
                              : QStringLiteral("Your clipboard history cannot be saved to its file %1 now.").arg(path))
            : QStringLiteral("Your clipboard history cannot be saved to %1 now (%2).").arg(path, reason);
        if (keptIn.isEmpty())
            return text
                + QStringLiteral(" No folder can take it either: Brindlewax keeps it in memory only, and it will be "
                                 "lost when Brindlewax quits.");
        text += QStringLiteral(" Your copies are kept in a fallback store in %1 meanwhile, and move into your history "
                               "once it can be saved again.")
                    .arg(keptIn);
        if (lasting == FallbackStore::Place::Lasting::untilLogout)
            text += QStringLiteral(" That folder is emptied when you log out.");
        else if (lasting == FallbackStore::Place::Lasting::untilRestart)
            text += QStringLiteral(" That folder is emptied when the computer restarts.");
        return text;
    }
    case Kind::oldRecoveryFiles: {
        const auto held = [](int clips) {
            return clips < 0 ? QStringLiteral("an unknown number of copies")
                : clips == 0 ? QStringLiteral("no copies")
                             : copies(clips, "1 copy");
        };
        const QString text =
            QStringLiteral("Brindlewax no longer reads the recovery files its earlier versions wrote.");
        if (oldRecoveryFiles.size() == 1)
            return text
                + QStringLiteral(" %1, which holds %2, is left as it is.")
                      .arg(oldRecoveryFiles.front().path, held(oldRecoveryFiles.front().clips));
        QStringList files;
        for (const OldRecoveryFiles::File &file : oldRecoveryFiles)
            files << QStringLiteral("%1 (%2)").arg(file.path, held(file.clips));
        return text + QStringLiteral(" These are left as they are: %1.").arg(files.join(QStringLiteral(", ")));
    }
    case Kind::saveFailed:
        return diskFull ? QStringLiteral("Some copies could not be saved because the disk is full. They are kept "
                                         "until there is room.")
                        : QStringLiteral("Some copies could not be saved to disk. They are kept until they can be.");
    case Kind::lockLost:
        return QStringLiteral("Brindlewax lost the lock that keeps a second start away from your clipboard history "
                              "at %1 (%2), so it no longer writes it. New copies are kept aside meanwhile and go "
                              "into your history once Brindlewax holds the lock again, or else at the next start of "
                              "Brindlewax after this one has quit.")
            .arg(path, reason);
    }
    return {};
}

} // namespace quillmere
