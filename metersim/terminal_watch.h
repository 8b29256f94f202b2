// Watching the simulator's pseudo-terminal from its master side for masters
// setting the terminal up. With the master side in packet mode and the
// terminal's EXTPROC flag set, every change of the terminal's settings by a
// master (libmodbus makes one when it opens the port, and one when it closes
// it, restoring what it found) reaches the master side as a status byte
// ahead of any data; every other read there starts with a byte that says
// data follows. Settings requests on the master side act on the terminal's
// settings, so the speed a master chose can be read there. Linux keeps no
// parity bit in a pseudo-terminal's settings, so parity cannot be told.
#pragma once

#include <cstdint>

namespace metersim {

// Puts the master side into packet mode and marks the terminal for reports
// of its settings. Throws std::runtime_error.
void watch_terminal_settings(int master_fd);

// Whether a read on a watched master side begins with data, and whether a
// status byte reports a change of the settings (other statuses report
// flushes and flow control).
bool packet_carries_data(std::uint8_t first_byte);
bool status_reports_setup(std::uint8_t status);

// After a reported change: marks the terminal again, without a report of
// its own, since a master that sets the terminal up from scratch (libmodbus
// does) clears the mark, and its next change would go unreported. Returns
// the speed the terminal is set to now (0 if it cannot be read), or -1 with
// errno when the master side could not be put back into packet mode.
int rewatch_terminal_settings(int master_fd);

// The speed a terminal is set to, as a number of baud (any speed, standard
// or not); 0 if it cannot be read. Either side of a pseudo-terminal.
int terminal_speed(int fd);
// False, with errno, when the terminal refuses it.
bool set_terminal_speed(int fd, int baud);

}  // namespace metersim
