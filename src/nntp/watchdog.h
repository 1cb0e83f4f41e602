#pragma once
// The process-wide stalled-read watchdog. Every reader registers its socket while it waits for
// data; a pass every 60 seconds shuts down the sockets whose reader has seen nothing for more
// than 120 seconds, which wakes the blocked wait or receive of that reader with an error.
//
// The watchdog shuts the socket down instead of closing its descriptor: the reader still owns
// the descriptor and closes it itself, so a descriptor number can never be reused under a
// reader's feet.

#include <chrono>
#include <cstdint>

namespace quivern {

class CStalledReadWatchdog {
public:
    static constexpr std::chrono::milliseconds kDefaultPass{60000};
    static constexpr std::chrono::milliseconds kDefaultLimit{120000};

    // Starts the watchdog thread (idle priority). False when it already runs.
    static bool Start(std::chrono::milliseconds pass = kDefaultPass,
                      std::chrono::milliseconds limit = kDefaultLimit);
    // Signals the thread and waits for it without limit.
    static void Stop();
    static bool IsRunning();

    // Both do nothing while the watchdog is not running.
    static void NoteActivity(int socket);
    // Removes the socket's entry; true when the watchdog had shut the socket down.
    static bool ForgetSocket(int socket);
};

}  // namespace quivern
