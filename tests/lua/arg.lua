-- args: first second
-- The script sees the program, itself and its arguments in arg, nothing else.
assert(arg[0]:match("tarvex$"), "arg[0] is the program: " .. tostring(arg[0]))
assert(arg[1]:match("arg%.lua$"), "arg[1] is the script")
assert(arg[2] == "first" and arg[3] == "second", "script arguments")
assert(#arg == 3, "#arg is " .. #arg)
local count = 0
for _ in pairs(arg) do
    count = count + 1
end
assert(count == 4, "arg has only the four entries")
assert(select("#", ...) == 0, "the main chunk gets no arguments")

local globals = {
    TARVEX_VERSION = "1.4.0", TARVEX_MAJOR_VERSION = 1, TARVEX_MINOR_VERSION = 4, TARVEX_PATCH_VERSION = 0,
}
for name, value in pairs(globals) do
    assert(_G[name] == value, name)
end
assert(type(TARVEX_BUGREPORT) == "string" and TARVEX_BUGREPORT:find("@"), "bug report address")
assert(type(TARVEX_URL) == "string" and TARVEX_URL:find("^https://"), "issue tracker")
