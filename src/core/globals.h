#pragma once
// Version globals published into every interpreter state (main and threads).
struct lua_State;

#define TARVEX_VERSION "1.4.0"
#define TARVEX_MAJOR_VERSION 1
#define TARVEX_MINOR_VERSION 4
#define TARVEX_PATCH_VERSION 0
#define TARVEX_BUGREPORT "tarvex-bugs@tarvex.invalid"
#define TARVEX_URL "https://tarvex.invalid/issues"

extern "C" void tarvex_globals(lua_State* L);
