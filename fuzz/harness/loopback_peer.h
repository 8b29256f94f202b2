// A Modbus server on 127.0.0.1 for the network line fuzz targets, on a
// thread of its own: it frames each request the line sends (Modbus TCP or
// RTU frames over TCP), answers it as the test planned for that request
// (any bytes, built from the request when they are sent), and closes the
// connection afterwards when the plan says so. One connection at a time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fuzzharness {

class LoopbackPeer {
public:
    using Bytes = std::vector<std::uint8_t>;
    enum class Framing { ModbusTcp, Rtu };

    struct Request {
        std::uint16_t transaction = 0;  // Modbus TCP only
        Bytes pdu;                      // the unit or slave, the function, its data
    };
    // The bytes that answer a request.
    using Answer = std::function<Bytes(const Request&)>;

    explicit LoopbackPeer(Framing framing);
    std::string address() const;

    // The next request is answered by `answer`; then the connection is
    // closed when close_after is set.
    void plan(Answer answer, bool close_after);
    // Waits until the planned request has been answered (and its connection
    // closed, if planned), at most `seconds`; false if it never came.
    bool wait_answered(int seconds);
    // The request answered last and what was sent for it.
    Request last_request() const;
    Bytes last_answer() const;
    // Sends on the connection kept open, if any, between requests. When it
    // returns the bytes are in the line's receive buffer (loopback).
    bool send_now(const Bytes& bytes);

    // A PDU framed as the line expects it: behind a Modbus TCP header with
    // that transaction number, or followed by its CRC.
    Bytes framed(std::uint16_t transaction, const Bytes& pdu) const;

private:
    void serve();
    bool read_exactly(int fd, std::uint8_t* into, std::size_t count);
    bool take_request(int fd, Request& request);

    Framing framing_;
    int listen_fd_ = -1;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Answer answer_;
    bool close_after_ = false;
    bool answered_ = true;
    int connection_ = -1;
    Request last_request_;
    Bytes last_answer_;
    std::thread thread_;
};

}  // namespace fuzzharness
