#pragma once

#include <QString>
#include <QStringView>

namespace quillmere {

// The last component of a name that may carry a path from another machine; empty when nothing
// usable is left ("", ".", ".."). Names from data pass through this before they touch the disk.
inline QString baseFileName(QStringView name)
{
    qsizetype cut = -1;
    for (qsizetype i = 0; i < name.size(); ++i)
        if (name[i] == u'/' || name[i] == u'\\')
            cut = i;
    QString base = name.mid(cut + 1).toString();
    base.remove(QChar(u'\0'));
    if (base.trimmed().isEmpty() || base == QLatin1String(".") || base == QLatin1String(".."))
        return {};
    return base;
}

} // namespace quillmere
