#include "Quillmere/Model/StoreTrouble.h"

#include <QStringList>

namespace quillmere {

QString StoreTrouble::message() const
{
    switch (kind) {
    case Kind::storeMovedAside: {
        if (foreign)
            return QStringLiteral("Another program's database stood where Brindlewax keeps your clipboard history. "
                                  "It was set aside untouched as %1, and a new history was started.")
                .arg(path);
        const QString cutShort = resumed ? QStringLiteral("Brindlewax was stopped last time while it read back "
                                                          "your damaged clipboard history; that is finished now. ")
                                         : QString();
        const auto copies = [](int n) {
            return n == 1 ? QStringLiteral("1 copy") : QStringLiteral("%1 copies").arg(n);
        };
        const auto lostAre = [](const QString &howMany, bool one) {
            return QStringLiteral(" %1 could not be read and %2 lost.")
                .arg(howMany, one ? QStringLiteral("was") : QStringLiteral("were"));
        };
        // As many as are known: counted, bounded, or only known to be more. Not known when an
        // earlier start read the history back: nothing is said of it then.
        QString lostWords;
        const bool exact = !loss.moreLost || loss.lostAtMost == loss.lost;
        if (exact) {
            if (loss.lost >= 0)
                lostWords =
                    loss.lost == 0 ? QStringLiteral(" No copy was lost.") : lostAre(copies(loss.lost), loss.lost == 1);
        } else if (loss.lostAtMost > loss.lost && loss.lost > 0)
            lostWords = lostAre(QStringLiteral("Between %1 and %2 copies").arg(loss.lost).arg(loss.lostAtMost), false);
        else if (loss.lostAtMost > 0)
            lostWords = lostAre(QStringLiteral("Up to %1").arg(copies(loss.lostAtMost)), loss.lostAtMost == 1);
        else if (loss.lost > 0)
            lostWords = lostAre(QStringLiteral("At least %1").arg(copies(loss.lost)), loss.lost == 1);
        else
            lostWords = QStringLiteral(" Some copies could not be read and were lost.");
        if (count > 0) {
            QString text = cutShort
                + QStringLiteral("Your clipboard history was damaged and was set aside as %1. %2 that could still "
                                 "be read %3 kept in a new history.")
                      .arg(path,
                           count == 1 ? QStringLiteral("The one copy") : QStringLiteral("The %1 copies").arg(count),
                           count == 1 ? QStringLiteral("was") : QStringLiteral("were"))
                + lostWords;
            if (loss.damaged > 0)
                text += QStringLiteral(" %1 of them came back with damaged content.").arg(loss.damaged);
            return text;
        }
        return cutShort
            + QStringLiteral("Your clipboard history could not be read and was set aside as %1. "
                             "A new history was started.")
                  .arg(path)
            + lostWords;
    }
    case Kind::fallbackSession: {
        const QString intro = reason.isEmpty()
            ? QStringLiteral("Your clipboard history cannot be saved to disk now.")
            : QStringLiteral("Your clipboard history cannot be saved to %1 now (%2).").arg(path, reason);
        if (keptIn.isEmpty())
            return intro
                + QStringLiteral(" No folder can take it either: Brindlewax keeps it in memory only, and it will be "
                                 "lost when Brindlewax quits.");
        QString text = intro
            + QStringLiteral(" Your copies are kept in a fallback store in %1 meanwhile, and move into your history "
                             "once it can be saved again.")
                  .arg(keptIn);
        if (lasting == FallbackStore::Place::Lasting::untilLogout)
            text += QStringLiteral(" That folder is emptied when you log out.");
        else if (lasting == FallbackStore::Place::Lasting::untilRestart)
            text += QStringLiteral(" That folder is emptied when the computer restarts.");
        return text;
    }
    case Kind::unsavedAtQuit:
        return QStringLiteral("Some copies could not be saved when Brindlewax last quit. They are kept in %1, "
                              "which could not be brought back into your history: %2.")
            .arg(path, reason);
    case Kind::unsavedBroughtBack: {
        // Kept at a quit, or while the store file could take nothing: "earlier" is true of both.
        QStringList text;
        if (count == 1)
            text << QStringLiteral("One copy that could not be saved earlier was brought back into your history.");
        else if (count > 1)
            text << QStringLiteral("%1 copies that could not be saved earlier were brought back into your history.")
                        .arg(count);
        if (unreadable == 1)
            text << QStringLiteral("One copy kept aside earlier could not be read; it is left in %1.").arg(path);
        else if (unreadable > 1)
            text << QStringLiteral("%1 copies kept aside earlier could not be read; they are left in %2.")
                        .arg(unreadable)
                        .arg(path);
        const QString rest = QStringLiteral(" The copies before the break are back in your history; the file is kept "
                                            "as %1.")
                                 .arg(lostFrom);
        if (lost == 1)
            text << QStringLiteral("One copy kept aside earlier is lost: the end of the file that held it is missing "
                                   "or damaged.")
                    + rest;
        else if (lost > 1)
            text << QStringLiteral("%1 copies kept aside earlier are lost: the end of the file that held them is "
                                   "missing or damaged.")
                        .arg(lost)
                    + rest;
        else if (lost < 0)
            text << QStringLiteral("The end of a file that kept copies aside earlier is missing or damaged: any copies "
                                   "it held there are lost.")
                    + rest;
        return text.join(QLatin1Char(' '));
    }
    case Kind::saveFailed:
        return diskFull ? QStringLiteral("Some copies could not be saved because the disk is full. They are kept "
                                         "until there is room.")
                        : QStringLiteral("Some copies could not be saved to disk. They are kept until they can be.");
    }
    return {};
}

} // namespace quillmere
