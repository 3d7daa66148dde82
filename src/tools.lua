-- The tools of `tarvex TOOL [options...]`: the list that help shows, and the
-- dispatch the program entry calls when its first argument is not a file.
-- Each tool is the module tarvex.tools.NAME, a table { name, summary, usage,
-- options, run(cli) } whose run does the job and returns when all that was
-- asked is done (it ends the run through cli:fail otherwise).
module("tarvex.tools", package.seeall)

local Cli = require("tarvex.tools.lib.cli")

Tools = {}

-- In the order a user meets them.
Tools.names = { "stats", "dump", "filter", "replay", "respdiff", "split", "capture" }

local known = {}
for _, name in ipairs(Tools.names) do
    known[name] = true
end

function Tools.is_tool(name)
    return known[name] == true
end

function Tools.load(name)
    return require("tarvex.tools." .. name)
end

local function help_text()
    local lines = {
        "usage: tarvex <file.lua> [args...]   run a Lua script",
        "       tarvex TOOL [options...]      run a tool",
        "       tarvex help TOOL              the options of a tool (as tarvex TOOL -h)",
        "       tarvex --version              versions of tarvex, LuaJIT and the libraries",
        "",
        "tools:",
    }
    for _, name in ipairs(Tools.names) do
        lines[#lines + 1] = string.format("  %-10s %s", name, Tools.load(name).summary)
    end
    lines[#lines + 1] = ""
    lines[#lines + 1] = "A first argument that names an existing file is always the script."
    return table.concat(lines, "\n") .. "\n"
end

local function version_text()
    local Version = require("tarvex.core.version")
    local lines = {
        "tarvex " .. TARVEX_VERSION,
        string.format("%s (built with %s)", jit.version, Version.luajit_built()),
        string.format("%-9s %-14s %s", "library", "built with", "running"),
    }
    for _, library in ipairs(Version.libraries()) do
        lines[#lines + 1] = string.format("%-9s %-14s %s", library.name, library.built, library.running)
    end
    return table.concat(lines, "\n") .. "\n"
end

-- Runs the tool the arguments name: arg[1] is the tool, arg[2...] its
-- options. The error of a tool's own fault still ends in one line.
local function run_tool(name, argv)
    local tool = Tools.load(name)
    local cli = Cli.parse(tool, argv, 2)
    local ok, err = xpcall(tool.run, debug.traceback, cli)
    if not ok then
        io.stderr:write("tarvex ", name, ": internal error: ", tostring(err):match("^[^\n]*"), "\n")
        if cli:val("verbose") then
            io.stderr:write(tostring(err), "\n")
        end
        return 1
    end
    return 0
end

-- The exit status of the run, or nil when `word` is neither a tool nor one
-- of the program's own options, so the entry treats it as a script path.
function Tools.main(word)
    if word == "-h" or word == "--help" or (word == "help" and arg[2] == nil) then
        io.stdout:write(help_text())
        return 0
    end
    if word == "-V" or word == "--version" then
        io.stdout:write(version_text())
        return 0
    end
    if word == "help" then
        local name = arg[2]
        if not Tools.is_tool(name) then
            io.stderr:write("tarvex help: no tool named ", name, " (tarvex help lists them)\n")
            return 1
        end
        return run_tool(name, { [0] = arg[0], name, "-h" })
    end
    if Tools.is_tool(word) then
        return run_tool(word, arg)
    end
    return nil
end

return Tools
