// Hooks for tests of what a signal handler may do at the library's narrow moments. Programs
// never set them.
#pragma once

namespace qdev::test_hooks {

// Runs just before the library closes a node descriptor's socket as it lets the descriptor go
// (at the end of its close, or of the call a handler's close interrupted), as a signal
// handler landing there would. Returns the hook it replaces; null removes it.
using ReleaseHook = void (*)(int fd);
ReleaseHook set_release_hook(ReleaseHook hook);

} // namespace qdev::test_hooks
