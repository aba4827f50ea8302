// The broker link: the one long-lived connection to the zelbroker, run by the
// broker thread.
//
// For now this module holds only the flag that tells the broker thread (and
// every wait it makes while opening the link) whether it is to keep running.
#pragma once

#include <atomic>

// 1 while the broker thread is to keep running; 0 once a stop has been asked
// for (and before any start). The start and stop of the broker thread write
// it; the broker thread, the control commands and the socket helpers read it
// from any thread without a lock.
extern std::atomic<int> keep_connection;
