#pragma once
// Version globals published into every interpreter state (main and threads),
// and the way a state ends the process.
struct lua_State;

#define TARVEX_VERSION "1.4.0"
#define TARVEX_MAJOR_VERSION 1
#define TARVEX_MINOR_VERSION 4
#define TARVEX_PATCH_VERSION 0
#define TARVEX_BUGREPORT "tarvex-bugs@tarvex.invalid"
#define TARVEX_URL "https://tarvex.invalid/issues"

extern "C" void tarvex_globals(lua_State* L);

// Ends the program's main state with the script's exit status. While a thread
// still runs, nothing it may use (channels, pushed objects, thread records,
// library state) is freed under it: C stdio is flushed and the process ends
// here with `status`. Otherwise the state is closed when `close_state` says
// so, and `status` is returned for main to return.
extern "C" int tarvex_finish(lua_State* L, int status, bool close_state);
