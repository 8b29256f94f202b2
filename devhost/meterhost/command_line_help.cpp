// The prose of meterhost's help text; the option lists between its parts
// come from the option table (command_line.cpp).
#include "devhost/meterhost/command_line_help.h"

namespace meterhost {

const std::vector<std::string>& help_prose()
{
    static const std::vector<std::string> prose = {
        R"(Usage: meterhost [OPTIONS] [--port PORT [LINE OPTIONS]]...
       meterhost write [OPTIONS] ADDRESS VALUE [VALUE...]
       meterhost scan --port PORT [SCAN OPTIONS] [--json] [--trace FILE]

Loads the power-meter module as the gateway does and drives meters over
Modbus: real meters on one or more lines (--port), serial lines or lines
over the network, or, without --port, simulated meters that meterhost starts
on a pseudo-terminal of its own. Each meter is a device of its own, made by
the module's provider; the module is driven the same way on every kind of
line.

Polling (the default) reads every meter of a line in turn, every --interval
seconds, one transaction on the line at a time; each line runs on a thread
of its own. With --json each completed round prints one line: with one
meter, the module's snapshot text (request 801) exactly; with several on
one line {"slave":N,"snapshot":TEXT}; with several lines
{"port":"PORT","slave":N,"snapshot":TEXT}, TEXT being the module's text
without its line feed. Otherwise, on a terminal, the live view below
fills the screen; off a terminal each completed round prints that meter's
table (address, state, rounds, errors, last update and its quantities).
Ctrl-C ends the run cleanly.

The live view: a title line with the time and the count of the module's
diagnostic lines ("rvSize is N" per round, "SPModbus get error" per failed
exchange); a status line per line (its number and port, its state, its
meters and how many are online, their rounds and errors); the newest
meterhost message; the page shown. Then the quantities as rows and the
meters as columns, each column headed by the meter's address, its line
(with several lines), its state (waiting until its first round, online or
offline), its rounds, its errors and the age of its data. Meters that do
not fit the width, and quantities that do not fit the height, go on further
pages, shown in turn every 5 seconds. The view follows the terminal's size,
redraws at most 4 times a second, and leaves its last frame on the terminal
when the run ends.

A meter that fails 3 polls in a row is reported offline and then tried only
now and then: after --retry-min seconds, the wait doubling up to
--retry-max; the first answer brings it back online. Each change is one
message. Before every request on a serial line, also the one behind an
rtu+tcp:// server, the line is left silent for 3.5 characters (1.75 ms above
19200 baud) after the last frame on it. On a line over the network a
connection refused, reset or silent fails the poll the same way; the
connection is made again at the next poll, never waiting longer than
--timeout-ms, and a reply to another request or from another unit is
discarded.

'write' sets one register (request 206) or several consecutive ones (request
210, at most 123) of one meter, waits for its reply and prints whether the
meter confirmed the write. ADDRESS and VALUE are 0 to 65535, decimal or 0x
hex. It takes at most one --port and one --slave.

'scan' finds the meters on one line. At each line setting (speed and
parity) it asks every address in turn for the module's block read, through
a device the module makes for that address and setting, one transaction at
a time with the silence kept, and prints each meter that answers: its
address, speed and parity and a line voltage, a current and the frequency
from its snapshot. With --json it prints one line per meter instead,
{"port":"PORT","baud":N,"parity":"N","slave":N,"snapshot":TEXT}. Once a
setting has found meters the others are not tried (the meters of a line
share its setting), and an address found is not asked again. Each silent
address costs one timeout, and nothing more. On a terminal a progress line
shows the setting, the address, the meters found and the time left at
most; Ctrl-C ends the scan with what it has found.
)",
        R"(On a line over the network only the addresses are tried, at the first
--baud and --parity given (those of an rtu+tcp:// server's line).

Lines: each --port starts a line; the --baud, --parity, --slave and
--timeout-ms after it apply to that line. Given before the first --port
they are the defaults of every line.
)",
        "\nOptions:\n",
        R"(
Standard output carries only meterhost's own output (snapshots, tables,
the live view, write results); the module's diagnostics ("rvSize is N",
"SPModbus get error") and meterhost's messages go to standard error. While
the live view is on the terminal they are counted and shown in it instead,
and written to standard error only when that is not the same terminal.

Exit status: 0 success (write: confirmed; scan: a meter found); 1 write not
confirmed, or scan found no meter; 2 bad command line or configuration, or
the port or module cannot be used (a serial device that cannot be opened, a
network address that is malformed or whose host does not resolve).
)",
    };
    return prose;
}

}  // namespace meterhost
