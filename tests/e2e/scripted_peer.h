// A hand-written Modbus server for the lines' fault tests: on 127.0.0.1 it
// frames each request as a gateway (Modbus TCP) or a serial server (RTU
// frames over TCP) would; on a pseudo-terminal as a meter on a serial line
// would (RTU frames). It answers each as the test scripts, whole, byte by
// byte, in parts with pauses, after a stale reply, from another unit,
// damaged, or not at all, or closes the connection. Its CRC is the
// simulator's, not the master's, so that the two are checked against each
// other.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using Bytes = std::vector<std::uint8_t>;

enum class PeerFraming {
    ModbusTcp,  // over TCP
    Rtu,        // over TCP
    Serial,     // RTU frames on a pseudo-terminal: one "connection", never closed
};

struct PeerRequest {
    std::size_t index = 0;         // 0 for the first request the peer took
    std::uint16_t transaction = 0; // Modbus TCP only
    Bytes pdu;                     // the unit or slave, the function, its data
    bool intact = true;            // its header or CRC was right
    // When the peer had read it whole: no sooner than it was sent.
    std::chrono::steady_clock::time_point arrived;
};

// The connection being served, as the script sees it.
class PeerConnection {
public:
    // A socket is written without SIGPIPE, should the line have closed it.
    PeerConnection(int fd, bool socket) : fd_(fd), socket_(socket) {}
    void send(const Bytes& bytes);
    // One byte at a time, `pause` apart.
    void send_bytewise(const Bytes& bytes, std::chrono::milliseconds pause);
    // Ends the connection once the script returns.
    void close() { closing_ = true; }
    bool closing() const { return closing_; }

private:
    void put(const std::uint8_t* bytes, std::size_t count);

    int fd_;
    bool socket_;
    bool closing_ = false;
};

class ScriptedPeer {
public:
    using Script = std::function<void(const PeerRequest&, PeerConnection&)>;

    ScriptedPeer(PeerFraming framing, Script script);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // tcp://127.0.0.1:PORT, rtu+tcp://127.0.0.1:PORT or the terminal's path.
    std::string address() const;
    // Sends on the connection being served, from the test's thread, between
    // requests; false when there is none. When it returns the bytes are in
    // the master's receive buffer (loopback, or the terminal's input queue).
    bool send_now(const Bytes& bytes);
    // Closes the connection being served, from the test's thread, between
    // requests; the peer then waits for the next. Over TCP only.
    void close_now();
    unsigned long connections() const { return connections_.load(); }
    std::vector<PeerRequest> requests() const;

private:
    void open_terminal();
    void serve();
    bool serve_connection(int fd);
    bool read_exactly(int fd, std::uint8_t* into, std::size_t count);
    bool wait_until_queued(std::size_t count);

    PeerFraming framing_;
    Script script_;
    int listen_fd_ = -1;  // or the terminal's master side
    int port_ = 0;
    int terminal_ = -1;   // the terminal's other side, kept open by the peer
    std::string terminal_path_;
    int wake_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    std::atomic<unsigned long> connections_{0};
    mutable std::mutex mutex_;
    int current_fd_ = -1;
    std::vector<PeerRequest> requests_;
    std::thread thread_;
};

// The correct reply PDU to a read (register N holds 0x4000 + N), a single
// write (its echo) or a multiple write (its echo), for that request's unit.
Bytes good_reply_pdu(const PeerRequest& request);
// What register N holds for good_reply_pdu.
std::uint16_t peer_register(int address);
// An RTU frame: the bytes and the simulator's CRC of them.
Bytes with_peer_crc(Bytes bytes);
// A PDU as the framing sends it: behind a Modbus TCP header with that
// transaction number, or followed by its CRC.
Bytes peer_frame(PeerFraming framing, std::uint16_t transaction, const Bytes& pdu);

}  // namespace e2e
