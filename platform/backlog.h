#pragma once

namespace kc {

/// The longest queue of not yet accepted connections the system allows
/// (net.core.somaxconn, else SOMAXCONN). Listeners use it so that a burst of
/// connects is queued instead of waiting out SYN retransmits.
int listenBacklog();

} // namespace kc
