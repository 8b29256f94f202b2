#include "devhost/lines/tcp_line.h"

namespace devhost {

TcpLine::TcpLine(LineSettings settings, modbus::LineAddress address)
    : Line(std::move(settings)), address_(std::move(address))
{
}

bool TcpLine::open(std::string& error)
{
    if (resolved_.empty() && !modbus::resolve_line_address(address_, resolved_, error))
        return false;
    open_ = true;
    return true;
}

void TcpLine::close()
{
    connection_.close();
    open_ = false;
}

Exchange TcpLine::lost(const std::string& error)
{
    return failed_exchange(ExchangeStatus::NoConnection, error);
}

bool TcpLine::prepare_connection(const MeterAddress& meter, std::vector<std::uint8_t>& arrived,
                                 bool& fresh, Exchange& failure)
{
    fresh = false;
    if (!open_) {
        failure = failed_exchange(ExchangeStatus::LineDown, "port not open");
        return false;
    }
    std::string error;
    if (connection_.connected() && !connection_.take_arrived(arrived, error))
        arrived.clear();  // closed by the server meanwhile: connect anew
    if (connection_.connected())
        return true;
    const auto deadline = Clock::now() + std::chrono::milliseconds(meter.timeout_ms);
    if (!connection_.connect(resolved_, deadline, error)) {
        failure = lost(error);
        return false;
    }
    fresh = true;
    return true;
}

}  // namespace devhost
