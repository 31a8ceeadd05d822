// "automation": the platform's permission status for a target, as a state word.
#include "services/automation.hpp"

#include "platform/platform.hpp"

namespace services {

const char* stateWord(std::optional<int32_t> status) {
    struct Row {
        int32_t status;
        const char* word;
    };
    static constexpr Row kWords[] = {
        {0, "allowed"}, {-1743, "denied"}, {-1744, "ask"}, {-600, "not-running"}};
    if (!status) return "unknown";
    for (const Row& row : kWords)
        if (row.status == *status) return row.word;
    return "unknown";
}

std::string automation(const std::string& bundleId) {
    return stateWord(platform::automationStatus(bundleId));
}

}  // namespace services
