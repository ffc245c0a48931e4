"""The event lines Cellcheck writes on the first serial port
(cellcheck.log=serial): each an RFC 5424 message on a line of its own,
wherever the console's text shares the port."""
import re

# RFC 5424's syntax: HEADER SP STRUCTURED-DATA [SP MSG], every field as the
# RFC bounds it; a parameter's value escapes '"', '\' and ']'.
SD_NAME = r'[!#-<>-\\^-~]{1,32}'  # printable ASCII but '=', ']', '"', space
SD_PARAM = SD_NAME + r'="(?:[^"\\\]]|\\["\\\]])*"'
RFC5424 = re.compile(
    r"<(?P<pri>\d{1,3})>1"
    r" (?P<timestamp>-|\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(?:\.\d{1,6})?(?:Z|[+-]\d\d:\d\d))"
    r" (?P<hostname>[!-~]{1,255}) (?P<app>[!-~]{1,48}) (?P<procid>[!-~]{1,128})"
    r" (?P<msgid>[!-~]{1,32})"
    rf" (?P<sd>-|(?:\[{SD_NAME}(?: {SD_PARAM})*\])+)"
    r"(?: (?P<msg>.*))?")
SD_ID = "cellcheck@32473"


def serial_events(output):
    """Every event line in a serial port's bytes, parsed; fails on a line
    that carries Cellcheck's SD-ID but is not one whole RFC 5424 message
    (cut, or sharing its line with other text)."""
    events = []
    for line in output.decode("latin-1").replace("\r\n", "\n").split("\n"):
        if SD_ID not in line:
            continue
        parsed = RFC5424.fullmatch(line)
        assert parsed, f"not a whole RFC 5424 line: {line!r}"
        events.append(parsed)
    return events


def seq(event):
    """The event's number, from 1."""
    return int(re.search(r'seq="(\d+)"', event["sd"]).group(1))
