#!/usr/bin/python3
"""Tells whether a text the Windows program showed is one of the program's own texts, as the
Linux build shows them: the string literals of src/ui and src/app (adjacent pieces joined),
with "%1"-style arguments matching anything.
Usage: texts.py SOURCE_ROOT TEXT          (TEXT as Wine's msgbox trace prints it: L"...")
       texts.py SOURCE_ROOT --plain TEXT   (TEXT as it is)
Exits 0 when it matches; prints the text either way.
"""
import glob
import re
import sys

LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')


def unescape_c(text):
    return re.sub(r'\\(u[0-9a-fA-F]{4}|x[0-9a-fA-F]{2}|.)', lambda m: {
        'n': '\n', 't': '\t', 'r': '\r', '"': '"', '\\': '\\'}.get(m.group(1)) or (
        chr(int(m.group(1)[1:], 16)) if m.group(1)[0] in 'ux' else m.group(1)), text)


def unescape_wine(text):
    # Wine's debugstr_w: \n, \r, \t, \\, \" and \XXXX for other characters.
    if text.startswith('L"') and text.endswith('"'):
        text = text[2:-1]
    return re.sub(r'\\([0-9a-fA-F]{4}|.)', lambda m: {
        'n': '\n', 't': '\t', 'r': '\r', '"': '"', '\\': '\\'}.get(m.group(1)) or (
        chr(int(m.group(1), 16)) if len(m.group(1)) == 4 else m.group(1)), text)


def program_texts(root):
    texts = []
    for path in glob.glob(root + "/src/ui/*.cpp") + glob.glob(root + "/src/app/*.cpp"):
        source = open(path, encoding="utf-8").read()
        source = re.sub(r'//[^\n]*', '', source)
        # Adjacent literals ("a" "b", across lines) are one text.
        for run in re.finditer(r'(?:"(?:[^"\\\n]|\\.)*"\s*)+', source):
            pieces = LITERAL.findall(run.group(0))
            texts.append(unescape_c("".join(pieces)))
    return texts


def main():
    root = sys.argv[1]
    shown = sys.argv[-1] if sys.argv[2] == "--plain" else unescape_wine(sys.argv[2])
    for text in program_texts(root):
        if not text:
            continue
        pattern = "".join(".+" if re.fullmatch(r'%\d', part) else re.escape(part)
                          for part in re.split(r'(%\d)', text))
        if re.fullmatch(pattern, shown, re.S):
            print("text: " + shown)
            return 0
    print("text not the program's: " + repr(shown))
    return 1


if __name__ == "__main__":
    sys.exit(main())
