// Program entry: tarvex <file.lua> [args...] or tarvex TOOL [options...]
// Creates the main interpreter state, publishes the globals and `arg`, loads
// and runs the script or the tool; the exit status tells how it went.
#include <sys/stat.h>

#include <cstdio>

#include <lua.hpp>

#include "core/detail/log.h"
#include "core/globals.h"

namespace {

// The source tag of the entry point's own log lines.
constexpr const char* entry_file = "tarvex";

void report_load_failure(const char* script, int status)
{
    switch (status) {
    case LUA_ERRSYNTAX:
        core_log_critical(nullptr, entry_file, __LINE__, "%s: syntax error during pre-compilation", script);
        break;
    case LUA_ERRMEM:
        core_log_critical(nullptr, entry_file, __LINE__, "%s: memory allocation error", script);
        break;
    case LUA_ERRFILE:
        core_log_critical(nullptr, entry_file, __LINE__, "%s: cannot open/read file", script);
        break;
    default:
        core_log_critical(nullptr, entry_file, __LINE__, "%s: unknown error %d", script, status);
        break;
    }
}

// A runtime error value without a string form still gets a readable line.
void report_run_error(lua_State* L, const char* script)
{
    const char* message = lua_tostring(L, -1);
    if (message) {
        core_log_critical(nullptr, entry_file, __LINE__, "%s: %s", script, message);
    } else {
        core_log_critical(nullptr, entry_file, __LINE__, "%s: (error object is a %s value)", script,
                          luaL_typename(L, -1));
    }
    lua_pop(L, 1);
}

// A first argument that names an existing file is always the script, so a
// tool's name never hides a script of the same name. Otherwise the tools'
// dispatch decides: it gives the exit status, or nil for a word that is
// neither a tool nor one of the program's own options.
bool run_tool(lua_State* L, const char* word, int* status)
{
    struct stat info;
    if (stat(word, &info) == 0) {
        return false;
    }
    lua_getglobal(L, "require");
    lua_pushstring(L, "tarvex.tools");
    if (lua_pcall(L, 1, 1, 0) != 0) {
        report_run_error(L, word);
        *status = 1;
        return true;
    }
    lua_getfield(L, -1, "main");
    lua_pushstring(L, word);
    if (lua_pcall(L, 1, 1, 0) != 0) {
        report_run_error(L, word);
        *status = 1;
        return true;
    }
    if (lua_isnil(L, -1)) {
        lua_pop(L, 2);
        return false;
    }
    *status = static_cast<int>(lua_tointeger(L, -1));
    lua_pop(L, 2);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s <file.lua> ...\n", argv[0]);
        return 1;
    }

    lua_State* L = luaL_newstate();
    if (!L) {
        core_log_critical(nullptr, entry_file, __LINE__, "%s: memory allocation error", argv[1]);
        return 1;
    }
    luaL_openlibs(L);
    tarvex_globals(L);

    lua_createtable(L, argc, 0);
    for (int i = 0; i < argc; i++) {
        lua_pushstring(L, argv[i]);
        lua_rawseti(L, -2, i);
    }
    lua_setglobal(L, "arg");

    int tool_status = 0;
    if (run_tool(L, argv[1], &tool_status)) {
        return tarvex_finish(L, tool_status, true);
    }

    const int status = luaL_loadfile(L, argv[1]);
    if (status != 0) {
        report_load_failure(argv[1], status);
        return 1;
    }
    if (lua_pcall(L, 0, 0, 0) != 0) {
        report_run_error(L, argv[1]);
        return tarvex_finish(L, 1, false);
    }
    return tarvex_finish(L, 0, true);
}
