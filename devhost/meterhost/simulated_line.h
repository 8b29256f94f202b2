// The one way meterhost reaches the meter simulator: a line of simulated
// meters, served in-process on a new pseudo-terminal with a real line's
// timing, for a run given no port.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace metersim {
class Simulator;
}

namespace meterhost {

class SimulatedLine {
public:
    // Serves the slave addresses at the speed and parity given; throws
    // std::exception saying why it cannot.
    SimulatedLine(const std::vector<int>& slaves, int baud, char parity);
    ~SimulatedLine();
    SimulatedLine(const SimulatedLine&) = delete;
    SimulatedLine& operator=(const SimulatedLine&) = delete;

    // The pseudo-terminal's path, for the meters' configuration.
    const std::string& port() const;

private:
    std::unique_ptr<metersim::Simulator> simulator_;
};

}  // namespace meterhost
