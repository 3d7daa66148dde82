-- The Debian package, made by cpack from the build's own configuration into
-- a scratch directory: its control fields (name, the project's version, the
-- machine's architecture, section, maintainer, and Depends naming the
-- Debian packages of the libraries tarvex links), its files, and the
-- unpacked tarvex running from outside the checkout on the sample capture.
-- timeout: 300
-- labels: package
-- expect-stdout: ^deb checks pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local staging = require("staging")
local q, check = staging.quote, staging.check

staging.need("cpack", "dpkg-deb", "dpkg-shlibdeps", "dpkg")

local function field(deb, name)
    local value = staging.run(string.format("dpkg-deb -f %s %s", q(deb), name))
    return (value:gsub("\n$", ""))
end

staging.with_scratch(function(dir)
    local packages = dir .. "/packages"
    staging.run(string.format("cpack -G DEB --config %s -B %s",
        q(staging.build .. "/CPackConfig.cmake"), q(packages)))
    local architecture = staging.run("dpkg --print-architecture"):gsub("\n$", "")
    local deb = string.format("%s/tarvex_%s_%s.deb", packages, TARVEX_VERSION, architecture)
    check(staging.exists(deb), "no package %s", deb)

    local info = staging.run("dpkg-deb -I " .. q(deb))
    check(field(deb, "Package") == "tarvex", "Package: %s", info)
    check(field(deb, "Version") == TARVEX_VERSION, "Version: %s", info)
    check(field(deb, "Architecture") == architecture, "Architecture: %s", info)
    check(field(deb, "Section") == "net", "Section: %s", info)
    check(field(deb, "Maintainer"):match("^.+ <[^@>]+@[^>]+>$"), "Maintainer: %s", info)
    check(field(deb, "Description"):match("^%S[^\n]+\n %S"), "Description without a long part: %s", info)

    -- The runtime packages of what tarvex links, as Debian 12 names them.
    local depends = field(deb, "Depends")
    local listed = {}
    for alternative in depends:gmatch("[^,|]+") do
        local name = alternative:match("^%s*([%w.+-]+)")
        if name then
            listed[name] = true
        end
    end
    for _, package in ipairs({ "libluajit-5.1-2", "libpcap0.8", "libgnutls30", "liblmdb0", "liblz4-1",
            "libzstd1", "zlib1g", "liblzma5", "libck0", "libc6" }) do
        check(listed[package], "Depends names no %s: %s", package, depends)
    end

    local contents = staging.run("dpkg-deb -c " .. q(deb))
    for _, path in ipairs({
        "./usr/bin/tarvex",
        "./usr/share/man/man1/tarvex.1.gz",
        "./usr/share/bash-completion/completions/tarvex",
        "./usr/share/doc/tarvex/examples/sources.lua",
        "./usr/share/doc/tarvex/addons/example/README.md",
        "./usr/share/doc/tarvex/addons/example/input/zero.lua",
    }) do
        check(contents:find(" " .. path .. "\n", 1, true), "the package holds no %s:\n%s", path, contents)
    end
    check(contents:find("\n%-rwxr%-xr%-x root/root +%d+ [^\n]* %./usr/bin/tarvex\n"),
        "usr/bin/tarvex is not root's and 755:\n%s", contents)
    for line in contents:gmatch("[^\n]+") do
        local path = line:match(" (%./%S*)$")
        check(path and path:match("^%./usr/"), "a file outside usr/: %s", line)
    end

    local unpacked = dir .. "/unpacked"
    staging.run(string.format("dpkg-deb -x %s %s", q(deb), q(unpacked)))
    local bin = unpacked .. "/usr/bin/tarvex"
    staging.run(string.format("cp %s %s", q(staging.sample), q(dir .. "/sample.pcap")))

    local version = staging.run(staging.outside(dir, q(bin) .. " --version"))
    check(version:match("^tarvex ([^\n]+)\n") == TARVEX_VERSION, "--version: %s", version)
    -- The packaged program is stripped; the built-in modules must still be
    -- found by their exported symbols.
    local stats = staging.run(staging.outside(dir, q(bin) .. " stats -r sample.pcap"))
    check(stats:find("\npackets      16 read, 12 DNS", 1, true), "stats: %s", stats)
    check(stats:find("\nmessages     6 queries, 6 responses", 1, true), "stats: %s", stats)
    local help = staging.run(staging.outside(dir, q(bin) .. " help replay"))
    check(help:match("^usage: tarvex replay "), "help replay: %s", help)
end)

print("deb checks pass")
