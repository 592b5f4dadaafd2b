#include "admin/kernel_exposure.h"

namespace vel::admin {

std::string KernelExposure(firewall::Firewall& firewall, bool& readable) {
    firewall::KernelState state = firewall::KernelState::Missing;
    std::string error;
    readable = firewall.checkKernel(state, error);
    if (!readable) return "the kernel's firewall table cannot be read (" + error + ")";
    switch (state) {
        case firewall::KernelState::Enforced:
            return {};
        case firewall::KernelState::Off:
            return "nftables enforcement is off: the rules are kept but not enforced";
        case firewall::KernelState::Missing:
            return "the table inet velmora is missing from the kernel";
        case firewall::KernelState::Different:
            return "the kernel's table inet velmora is not the one the rules describe";
    }
    return "the kernel's table inet velmora is not the one the rules describe";
}

}  // namespace vel::admin
