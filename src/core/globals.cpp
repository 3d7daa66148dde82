#include "core/globals.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include <lua.hpp>

#include "core/thread.h"

namespace {

// os.exit as LuaJIT's, status rules and all (true, false, a number, nothing),
// except that it goes through tarvex_finish: an exit, or a closing exit, from
// any state while a thread runs must not free what that thread uses (the
// calling thread counts, so from a thread it never frees anything).
int os_exit(lua_State* L)
{
    int status;
    if (lua_isboolean(L, 1)) {
        status = lua_toboolean(L, 1) ? EXIT_SUCCESS : EXIT_FAILURE;
    } else {
        status = static_cast<int>(luaL_optinteger(L, 1, EXIT_SUCCESS));
    }
    exit(tarvex_finish(L, status, lua_toboolean(L, 2) != 0));
}

}  // namespace

extern "C" int tarvex_finish(lua_State* L, int status, bool close_state)
{
    if (core_thread_running() > 0) {
        fflush(nullptr);
        _exit(status);
    }
    if (close_state) {
        lua_close(L);
    }
    return status;
}

extern "C" void tarvex_globals(lua_State* L)
{
    lua_pushstring(L, TARVEX_VERSION);
    lua_setglobal(L, "TARVEX_VERSION");
    lua_pushinteger(L, TARVEX_MAJOR_VERSION);
    lua_setglobal(L, "TARVEX_MAJOR_VERSION");
    lua_pushinteger(L, TARVEX_MINOR_VERSION);
    lua_setglobal(L, "TARVEX_MINOR_VERSION");
    lua_pushinteger(L, TARVEX_PATCH_VERSION);
    lua_setglobal(L, "TARVEX_PATCH_VERSION");
    lua_pushstring(L, TARVEX_BUGREPORT);
    lua_setglobal(L, "TARVEX_BUGREPORT");
    lua_pushstring(L, TARVEX_URL);
    lua_setglobal(L, "TARVEX_URL");
    lua_getglobal(L, "os");
    if (lua_istable(L, -1)) {
        lua_pushcfunction(L, os_exit);
        lua_setfield(L, -2, "exit");
    }
    lua_pop(L, 1);
}
