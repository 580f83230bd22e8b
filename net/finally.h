// A scope guard for the transport's sources: runs its action when the scope ends, however it
// ends, so a flag or a descriptor a wait set up is put back even when the wait raises.
#pragma once

namespace net {

template <typename F>
struct Finally {
    F action;
    ~Finally() { action(); }
};
template <typename F>
Finally(F) -> Finally<F>;

}  // namespace net
