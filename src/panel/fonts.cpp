#include "fonts.h"

#ifdef Q_OS_WIN
#include <QCoreApplication>
#include <QDir>
#include <QFontDatabase>
#endif

namespace qv7 {

QStringList fontFamilies(Face face)
{
    // Built once: every control asks while the window is built.
    static const auto families = [](Face of) {
        QStringList list;
        for (const std::string_view family : faceFamilies(of))
            list.append(QString::fromUtf8(family.data(), qsizetype(family.size())));
        return list;
    };
    static const QStringList gothic = families(Face::Gothic);
    static const QStringList pGothic = families(Face::PGothic);
    return face == Face::Gothic ? gothic : pGothic;
}

QFont designFont(const FontSpec &style)
{
    QFont font;
    font.setFamilies(fontFamilies(style.face));
    font.setStyleHint(style.face == Face::Gothic ? QFont::Monospace : QFont::SansSerif);
    font.setPointSizeF(style.points);
    font.setWeight(style.bold ? QFont::Bold : QFont::Normal);
    // The faces' own instructions, as the design's Windows drew them. Under a desktop's slight
    // hinting FreeType's auto-hinter stands in; it reads glyphs all over the large CJK faces
    // first, which cost start-up 2 ms and 1.5 MiB of resident font file.
    font.setHintingPreference(QFont::PreferFullHinting);
    return font;
}

#ifdef Q_OS_WIN
void addShippedFaces()
{
    if (QFontDatabase::hasFamily(QString::fromUtf8(kGothicFamily)) &&
        QFontDatabase::hasFamily(QString::fromUtf8(kPGothicFamily)))
        return;
    const QDir folder(QCoreApplication::applicationDirPath() + QStringLiteral("/fonts"));
    for (const QString &face : folder.entryList({QStringLiteral("*.ttf")}, QDir::Files))
        QFontDatabase::addApplicationFont(folder.filePath(face));
}
#endif

} // namespace qv7
