"""Text from outside (paths, names, lines another program wrote) made safe to show."""


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
