#include "core/globals.h"

#include <lua.hpp>

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
}
