// What fork() leaves the library in a child process.
//
// The child has one thread, the one that forked, which was not inside the
// library. Every other thread stayed in the parent, together with whatever
// locks it held: a call in progress there held LibraryMutex and perhaps a
// HandleMutex; connection threads may have held their socket's locks.
//
// LibraryMutex is reset in the child rather than taken before the fork:
// taking it would make fork() wait for the call in progress, a whole reply
// time-out or a connection attempt, and the state it guards for a call is
// per handle and never touched in the child for an inherited handle. What
// the child does need whole is the list of live handles and the memory held
// back from closed ones; they change only under RegistryMutex, which is held
// for a few instructions at a time, so the forking thread takes it before
// the fork, with the socket lock of every handle this process opened (their
// open or closed state must be settled to close the child's copies). Lock
// order: RegistryMutex, then the socket locks; both are leaves for every
// other thread.
//
// Handles inherited by the child report 2250 (see Inherited()); the child's
// copies of their sockets are closed at once, before any code of the host
// runs in the child: nothing the child does can read from or shut down the
// parent's connections, and the parent's closing or exiting ends them for
// the device even while the child lives on.
#pragma once

namespace velmora::device {

void BeforeFork();
void AfterForkInParent();
void AfterForkInChild();

}  // namespace velmora::device
