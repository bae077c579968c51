#include "sys/Account.h"

#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace vantorelle {

std::string accountShell()
{
    passwd entry{};
    passwd* result = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &result) != 0 || !result || !result->pw_shell) {
        return {};
    }
    return result->pw_shell;
}

} // namespace vantorelle
