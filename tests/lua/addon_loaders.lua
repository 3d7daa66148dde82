-- The forwarding loaders of the add-on input and output: the install
-- message, retry after a failed load, the ok/cls fields, and that they hand
-- out exactly the add-on's value.
local loaders = {
    { module = "tarvex.input.zero", addon = "example.input.zero", package = "input-example",
        stub = "example/input/zero.lua" },
    { module = "tarvex.output.null", addon = "example.output.null", package = "output-example",
        stub = "example/output/null.lua" },
}

local function escape(text)
    return (text:gsub("%p", "%%%0"))
end

local function write(path, text)
    local file = assert(io.open(path, "w"))
    file:write(text)
    file:close()
end

local function field(dotted)
    local value = _G
    for name in dotted:gmatch("[^.]+") do
        value = value[name]
    end
    return value
end

local search_path = package.path
for _, l in ipairs(loaders) do
    -- Not installed: the message starts with the install hint on its own
    -- line, with no position in front, then require's own report.
    package.path = "./nothing/?.lua"
    local ok, err = pcall(require, l.module)
    assert(not ok, l.module .. " loads without its add-on")
    local head = "You need to install the example module " .. l.package .. "\n"
    assert(err:sub(1, #head) == head, string.format("%q", err))
    assert(err:find("^" .. escape(head) .. "module '" .. escape(l.addon) .. "' not found:"), err)
    assert(err:find("./nothing/" .. l.addon:gsub("%.", "/") .. ".lua", 1, true), "the search-path report: " .. err)
    assert(field(l.module).ok == false, "ok is false")
    assert(field(l.module).cls:find("module '" .. l.addon .. "' not found", 1, true), "cls holds the error")
    -- A second require tries again instead of handing out the module table.
    ok, err = pcall(require, l.module)
    assert(not ok and err:sub(1, #head) == head, "second require fails the same way")

    -- A stub add-on on package.path: the loader returns that very value.
    os.execute("mkdir -p " .. l.stub:match("^(.*)/"))
    write(l.stub, "return { stub = '" .. l.addon .. "' }\n")
    package.path = "./?.lua"
    local cls = require(l.module)
    assert(type(cls) == "table" and cls.stub == l.addon, l.module .. " returns the stub")
    assert(cls == require(l.addon), "the very same table")
    assert(field(l.module).ok == true and field(l.module).cls == cls, "ok and cls after loading")
    package.path = search_path
end

-- Uncaught at the top of a script, the message goes out as the run error.
for _, l in ipairs(loaders) do
    write("top.lua", "package.path = './nothing/?.lua'\nrequire('" .. l.module .. "')\n")
    local status = os.execute(arg[0] .. " top.lua >out.txt 2>err.txt")
    local err = assert(io.open("err.txt")):read("*a")
    assert(status == 256, l.module .. ": status " .. status)
    local first = "core critical: top.lua: You need to install the example module " .. l.package .. "\n"
    assert(err:sub(1, #first) == first, string.format("%q", err))
    assert(err:find("\nmodule '" .. escape(l.addon) .. "' not found:", 1), err)
end
-- LUA_PATH reaches the interpreter's search path.
write("env.lua", "print(require('tarvex.input.zero').new():packets(), require('tarvex.output.null').new():packets())\n")
local addons = os.getenv("TEST_SOURCE_DIR") .. "/addons/?.lua;;"
local status = os.execute("LUA_PATH='" .. addons .. "' " .. arg[0] .. " env.lua >out.txt 2>err.txt")
assert(status == 0, "LUA_PATH run: " .. assert(io.open("err.txt")):read("*a"))
assert(assert(io.open("out.txt")):read("*a") == "0\t0\n")
print("add-on loader cases pass")
