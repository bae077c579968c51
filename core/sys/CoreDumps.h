// CoreDumps: keeping a process that handles passphrases out of core dumps and ptrace.
#pragma once

namespace vantorelle {

// Marks this process non-dumpable (prctl PR_SET_DUMPABLE 0): no core dump is written, and other
// processes of the user can neither attach to it nor read its memory through /proc. Call first
// thing in main. False when the system refused.
bool forbidCoreDumps() noexcept;

} // namespace vantorelle
