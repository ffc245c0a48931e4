"""What a terminal shows for a stream of console output."""
import re

ESCAPE = re.compile(rb"\x1b(\[[0-9;?=]*[A-Za-z]|[()][A-Za-z0-9]|[=>])")


def render(data):
    """Returns the lines a terminal shows for data, oldest first.

    A carriage return moves to the start of the line, so text written after it
    overwrites the line in place; a backspace moves one column back; a line
    feed starts a new line (the kernel's tty sends it with a carriage return).
    Escape sequences (colours, cursor) are dropped."""
    lines = [[]]
    column = 0
    for ch in ESCAPE.sub(b"", bytes(data)).decode("latin-1"):
        line = lines[-1]
        if ch == "\n":
            lines.append([])
            column = 0
        elif ch == "\r":
            column = 0
        elif ch == "\b":
            column = max(0, column - 1)
        elif ch >= " ":
            line.extend(" " * (column + 1 - len(line)))
            line[column] = ch
            column += 1
    return ["".join(line) for line in lines]


def _matches(want, line):
    if isinstance(want, re.Pattern):
        return want.fullmatch(line)
    return line if line == want else None


def find_in_order(lines, expected):
    """Finds each expected item after the one before it. An item is a str (one
    line, exactly), a compiled regex (one line, fully matched) or a list of
    those (lines that follow each other). Returns one result per item: the
    line or match object (for a list, the first line's); raises AssertionError
    naming the first item missing."""
    found = []
    index = 0
    for want in expected:
        block = want if isinstance(want, list) else [want]
        while index + len(block) <= len(lines):
            hits = [_matches(w, line) for w, line in
                    zip(block, lines[index:index + len(block)])]
            index += 1
            if all(hit is not None for hit in hits):
                found.append(hits[0])
                index += len(block) - 1
                break
        else:
            first = block[0].pattern if isinstance(block[0], re.Pattern) else block[0]
            raise AssertionError(f"line {first!r} missing or out of order")
    return found


def screen_text(vm):
    """The characters in a BIOS machine's VGA text buffer: what the screen
    shows, and what has scrolled within the buffer, 80 to a row."""
    dump = vm.monitor("xp /16384hx 0xb8000")
    cells = re.findall(r"0x([0-9a-f]{4})", dump)
    return bytes(int(cell, 16) & 0xFF for cell in cells)
