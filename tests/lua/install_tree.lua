-- cmake --install into a staging root (DESTDIR), with the prefix given at
-- install time and with the configured one: the installed tarvex runs from a
-- directory outside the checkout with nothing of the build on PATH, answers
-- --version, --help and help TOOL, reads the sample capture as the built one
-- does, and the documents, examples and the add-on are where they belong.
-- timeout: 120
-- expect-stdout: ^install tree checks pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local staging = require("staging")
local q, check = staging.quote, staging.check

staging.need("cmake")

staging.with_scratch(function(dir)
    local root = dir .. "/root"
    staging.run(string.format("DESTDIR=%s cmake --install %s --prefix /usr", q(root), q(staging.build)))
    local prefix = root .. "/usr"
    local bin = prefix .. "/bin/tarvex"

    for _, path in ipairs({
        "bin/tarvex",
        "share/man/man1/tarvex.1.gz",
        "share/bash-completion/completions/tarvex",
        "share/doc/tarvex/README.md",
        "share/doc/tarvex/examples/sources.lua",
        "share/doc/tarvex/examples/pipeline.lua",
        "share/doc/tarvex/examples/zero_null.lua",
        "share/doc/tarvex/addons/example/README.md",
        "share/doc/tarvex/addons/example/input/zero.lua",
        "share/doc/tarvex/addons/example/output/null.lua",
    }) do
        check(staging.exists(prefix .. "/" .. path), "not installed: %s", path)
    end
    check(os.execute("test -x " .. q(bin)) == 0, "installed tarvex is not executable")
    -- Nothing in the staging root may sit outside the prefix.
    local out = staging.run("find " .. q(root) .. " -mindepth 1 -maxdepth 1")
    check(out == root .. "/usr\n", "staging root holds more than usr/: %s", out)

    -- The installed program must not look into the build tree for libraries.
    if staging.have("readelf") then
        local dynamic = staging.run("readelf -d " .. q(bin))
        check(not dynamic:find(staging.build, 1, true), "installed tarvex names the build tree:\n%s", dynamic)
    end

    local sample = dir .. "/sample.pcap"
    staging.run(string.format("cp %s %s", q(staging.sample), q(sample)))
    local function installed(args)
        return staging.run(staging.outside(dir, q(bin) .. " " .. args))
    end

    local version = installed("--version")
    check(version:match("^tarvex ([^\n]+)\n") == TARVEX_VERSION, "--version: %s", version)
    check(version:find("\nLuaJIT ", 1, true), "--version names no LuaJIT: %s", version)

    local help = installed("--help")
    for _, tool in ipairs(staging.tools()) do
        check(help:find("\n  " .. tool.name .. " ", 1, true), "--help lists no %s:\n%s", tool.name, help)
    end

    local replay_help = installed("help replay")
    check(replay_help:match("^usage: tarvex replay "), "help replay: %s", replay_help)
    check(replay_help:find("--timing", 1, true), "help replay lists no --timing: %s", replay_help)

    -- The same job from the installed and from the built program, on the
    -- same file, says the same.
    local stats = installed("stats -r sample.pcap -n 3")
    local code, built = sub.run(string.format("cd %s && %s stats -r sample.pcap -n 3", q(dir), q(arg[0])))
    check(code == 0, "built tarvex stats: exit %d", code)
    check(stats:find("\npackets      16 read, 12 DNS", 1, true), "stats: %s", stats)
    local function steady(text)
        -- The wall-time line is the one that changes from run to run.
        return (text:gsub("\nwall time[^\n]*", ""))
    end
    check(steady(stats) == steady(built), "installed stats differs:\n%s\nbuilt:\n%s", stats, built)

    -- The installed example finds the installed add-on beside it.
    local zero = installed(q(prefix .. "/share/doc/tarvex/examples/zero_null.lua") .. " -n 1000")
    check(zero:find("1000", 1, true), "zero_null: %s", zero)

    -- An unknown tool is still a one-line error, exit 1.
    local unknown, _, err = sub.run(staging.outside(dir, q(bin) .. " help nosuchtool"))
    check(unknown == 1 and err:match("^tarvex help: no tool named nosuchtool"), "help nosuchtool: %d %s", unknown, err)

    -- Without --prefix the configured prefix is used, under DESTDIR too.
    local configured = staging.run("cmake -L -N " .. q(staging.build) .. " | sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p'")
    configured = configured:gsub("\n$", "")
    check(configured:match("^/"), "no configured prefix: %q", configured)
    local second = dir .. "/second"
    staging.run(string.format("DESTDIR=%s cmake --install %s", q(second), q(staging.build)))
    check(staging.exists(second .. configured .. "/bin/tarvex"), "not installed under %s", configured)
end)

print("install tree checks pass")
