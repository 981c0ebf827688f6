#pragma once

// Whether a poll, a read or a diagnosis is to end because of SIGINT or SIGTERM: the handler
// only notes the signal, and the loops that wait look at it, so the counts are still printed.
void watchInterrupts();
bool interrupted();
// The same end asked for by the host itself: its output can no longer be written.
void stopSoon();
