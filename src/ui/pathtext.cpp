#include "ui/pathtext.h"

#include <QRegularExpression>
#include <QStringView>

namespace ui {
namespace {

constexpr QChar kBreakHere(0x200B);                   // zero-width space: a line may break here
const QString kClosesPath = QStringLiteral(".,;:)");  // what ends a path in running text

// Both, on every system: the words may name a Windows path and a POSIX one alike.
bool IsSeparator(QChar c) {
    return c == u'/' || c == u'\\';
}

// A break after each separator that has a name after it: never after a lone root ("/") or a
// trailing separator, where the line would end in "/" and go on with ")." alone, nor after the
// root that begins a path (the first "/", a drive's "C:" and its separator, a network path's two),
// where a line would end bare.
QString MarkedPath(QStringView path) {
    QString text;
    text.reserve(path.size() * 2);
    for (qsizetype i = 0; i < path.size(); ++i) {
        const QChar c = path[i];
        text += c == u' ' ? QChar(QChar::Nbsp) : c;
        const bool root = i == 0 || (i == 1 && IsSeparator(path[0])) || (i == 2 && path[1] == u':');
        if (IsSeparator(c) && !root && i + 1 < path.size() && !IsSeparator(path[i + 1]) &&
            !kClosesPath.contains(path[i + 1]) && path[i + 1] != QChar::Nbsp) {
            text += kBreakHere;
        }
    }
    return text;
}

bool StartsPath(QStringView word) {
    if (word.isEmpty()) return false;
    if (IsSeparator(word[0]) || word[0] == u'~' || word[0] == QChar(0x2026)) return true;
    return word.size() >= 3 && word[0].isLetter() && word[1] == u':' && IsSeparator(word[2]);
}

}  // namespace

QString PathText(const std::wstring& path) {
    return MarkedPath(QString::fromStdWString(path));
}

QString ShortPathText(const std::wstring& path, size_t longest) {
    if (path.size() <= longest || longest < 8) return PathText(path);
    const size_t head = longest / 3;
    return PathText(path.substr(0, head)) + QChar(0x2026) +
           PathText(path.substr(path.size() - (longest - head - 1)));
}

QString PathsWrappedAtSeparators(const QString& words) {
    QString text;
    text.reserve(words.size() + words.size() / 4);
    qsizetype wordStart = 0;
    qsizetype pathStart = -1;  // where the path that the blanks go on with began
    const auto endPath = [&](qsizetype end) {
        text += MarkedPath(QStringView(words).mid(pathStart, end - pathStart));
        pathStart = -1;
    };
    for (qsizetype i = 0; i <= words.size(); ++i) {
        const bool atEnd = i == words.size();
        const QChar c = atEnd ? QChar(u'\n') : words[i];
        if (c != u' ' && c != u'\n') continue;
        const QStringView word = QStringView(words).mid(wordStart, i - wordStart);
        if (pathStart < 0 && StartsPath(word)) pathStart = wordStart;
        if (pathStart >= 0) {
            const bool goesOn = c == u' ' && !word.isEmpty() &&
                                !kClosesPath.contains(word.back()) && i + 1 < words.size() &&
                                words[i + 1] != u' ';
            if (!goesOn) endPath(i);
        } else {
            text += word;
        }
        if (!atEnd && pathStart < 0) text += c;
        wordStart = i + 1;
    }
    // Nor between an amount and its unit ("2.2 GB").
    static const QRegularExpression kAmount(QStringLiteral("(\\d) (bytes?|[kKMGT]B)\\b"));
    text.replace(kAmount, QStringLiteral("\\1\u00a0\\2"));
    return text;
}

QString WithoutPathMarks(const QString& text) {
    QString plain = text;
    plain.remove(kBreakHere);
    plain.replace(QChar(QChar::Nbsp), u' ');
    return plain;
}

}  // namespace ui
