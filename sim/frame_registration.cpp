// 32-bit Windows only, linked with --wrap for the two calls by which the startup code hands
// the library's unwind tables to the static libgcc at load and takes them back at unload.
// libgcc guards its table list with a pthread_once of its own winpthreads copy, which takes
// a thread slot (TlsAlloc) that is never freed: a process that loads and releases the library
// a thousand times would run out of slots and abort. The tables serve only to catch an
// exception, and the library catches none (one leaving an entry point ends the program
// either way), so they are left unregistered.
extern "C" void __wrap___register_frame_info(const void*, void*) {}
extern "C" void* __wrap___deregister_frame_info(const void*) {
    return nullptr;
}
