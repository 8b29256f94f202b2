"""The time a poll takes on a Modbus RTU line, 8N1.

A read of 60 registers: the request is 8 bytes (address, function, start,
count, CRC), the reply 125 bytes (address, function, byte count, 120 data
bytes, CRC), and each frame is followed by 3.5 characters of silence, or
1.75 ms above 19200 baud.
"""
BITS_PER_CHAR = 10
REQUEST_BYTES = 8
REPLY_BYTES = 3 + 2 * 60 + 2
SILENCE_CHARS = 3.5
FIXED_SILENCE_ABOVE_BAUD = 19200
FIXED_SILENCE_S = 0.00175


def silence_seconds(baud: int) -> float:
    if baud > FIXED_SILENCE_ABOVE_BAUD:
        return FIXED_SILENCE_S
    return SILENCE_CHARS * BITS_PER_CHAR / baud


def poll_seconds(baud: int) -> float:
    """One request, one reply and the silence after each."""
    return (REQUEST_BYTES + REPLY_BYTES) * BITS_PER_CHAR / baud + 2 * silence_seconds(baud)


def polls_per_second_limit(baud: int) -> float:
    return 1 / poll_seconds(baud)


def characters_per_poll() -> float:
    """At and below 19200 baud, where the silence is counted in characters."""
    return REQUEST_BYTES + REPLY_BYTES + 2 * SILENCE_CHARS
