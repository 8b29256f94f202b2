#include "devhost/meterhost/simulated_line.h"

#include "metersim/simulator.h"

namespace meterhost {

SimulatedLine::SimulatedLine(const std::vector<int>& slaves, int baud, char parity)
{
    metersim::SimulatorOptions options;
    options.slaves = slaves;
    options.baud = baud;
    options.parity = parity;
    options.line_time = true;
    simulator_ = std::make_unique<metersim::Simulator>(options);
    simulator_->open();
    simulator_->start();
}

SimulatedLine::~SimulatedLine() = default;

const std::string& SimulatedLine::port() const { return simulator_->port_path(); }

}  // namespace meterhost
