#include "os/processor_load.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace vel {

ProcessorLoad::Shares ProcessorLoad::sample() {
    std::vector<Times> now;
    std::ifstream stat("/proc/stat");
    for (std::string line; std::getline(stat, line);) {
        if (line.compare(0, 3, "cpu") != 0) break;
        std::istringstream fields(line.substr(line.find(' ')));
        Times t;
        std::uint64_t value = 0;
        // user nice system idle iowait irq softirq steal: idle and iowait are not busy.
        for (int i = 0; i < 8 && fields >> value; ++i) {
            t.total += value;
            if (i != 3 && i != 4) t.busy += value;
        }
        now.push_back(t);
    }
    Shares shares;
    if (now.size() == last_.size() && !now.empty()) {
        auto share = [](const Times& a, const Times& b) {
            // Counters only grow; a processor brought back online starts again from zero.
            if (b.total <= a.total || b.busy < a.busy) return 0.0;
            return static_cast<double>(b.busy - a.busy) / static_cast<double>(b.total - a.total);
        };
        shares.machine = share(last_[0], now[0]);
        for (std::size_t i = 1; i < now.size(); ++i)
            shares.busiestCore = std::max(shares.busiestCore, share(last_[i], now[i]));
    }
    last_ = std::move(now);
    return shares;
}

}  // namespace vel
