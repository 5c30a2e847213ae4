#!/usr/bin/python3
"""Tells whether a text the Windows program showed is one of the program's own texts, as the
Linux build shows them: the string literals of src/ui and src/app (adjacent pieces joined),
with "%1"-style arguments matching anything.
Usage: texts.py SOURCE_ROOT [--plain] [--expect START] TEXT
  TEXT as Wine's msgbox trace prints it (L"..."), or as it is with --plain. With --expect, only
  the program's texts that begin with START count: the one a step must show, not any of them.
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
    root, args = sys.argv[1], sys.argv[2:]
    plain = "--plain" in args
    expect = args[args.index("--expect") + 1] if "--expect" in args else ""
    shown = args[-1] if plain else unescape_wine(args[-1])
    texts = [text for text in program_texts(root) if text and text.startswith(expect)]
    if not texts:
        print(f"no text of the program begins with {expect!r}")
        return 1
    for text in texts:
        pattern = "".join(".+" if re.fullmatch(r'%\d', part) else re.escape(part)
                          for part in re.split(r'(%\d)', text))
        if re.fullmatch(pattern, shown, re.S):
            print("text: " + shown)
            return 0
    print(("text not the program's: " if not expect else
           f"text not the program's that begins with {expect!r}: ") + repr(shown))
    return 1


if __name__ == "__main__":
    sys.exit(main())
