"""What the tool shows on a terminal: text from outside (paths, names, lines
another program wrote) made safe to show, the progress line, durations."""

import sys


def printable(text):
    """text as it may be shown on a terminal or in a file: bytes that are not
    UTF-8 (a path's) as \\xNN, control characters and line breaks escaped."""
    shown = []
    for c in str(text):
        if 0xDC80 <= ord(c) <= 0xDCFF:  # a byte that was not UTF-8, as Python decodes a path
            shown.append("\\x%02x" % (ord(c) - 0xDC00))
        else:
            shown.append(c if c.isprintable() else c.encode("unicode_escape").decode("ascii"))
    return "".join(shown)


def progress(text, final=True):
    """Shows where the comparison is on standard error: on a terminal the
    passing lines overwrite each other, elsewhere only the final ones appear."""
    if sys.stderr.isatty():
        sys.stderr.write("\r\033[K" + text + ("\n" if final else ""))
    elif final:
        sys.stderr.write(text + "\n")
    sys.stderr.flush()


def minutes(seconds):
    return "%d min %02d s" % divmod(int(seconds), 60) if seconds >= 60 else "%d s" % seconds
