// Standard descriptors that a process was started without.
#pragma once

namespace velmora::platform {

// Opens /dev/null on each of standard input, output and error that is
// closed, so that no descriptor opened later (a socket, a pipe) takes its
// number and receives what is written there, or is handed to a child as its
// standard stream. For long-running commands whose standard streams carry
// nothing the caller must know was lost.
void openClosedStandardStreams() noexcept;

}  // namespace velmora::platform
