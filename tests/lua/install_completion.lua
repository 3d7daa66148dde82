-- The bash completion the build made, driven through bash's own machinery:
-- the file is sourced in a non-interactive bash, `complete -p tarvex` names
-- the function, and each case sets COMP_WORDS, COMP_CWORD, COMP_LINE and
-- COMP_POINT, calls that function as readline would, and reads COMPREPLY.
-- Tool names, options, the values of FILE, DIR and listed-choice options,
-- groups of short options, --opt=value, the script form; the file is what
-- the tables give now, and a table word that is not plain is refused.
-- expect-stdout: ^completion checks pass$
package.path = os.getenv("TEST_SOURCE_DIR") .. "/tests/lua/lib/?.lua;" .. package.path
local sub = require("subprocess")
local staging = require("staging")
local Completion = require("tarvex.tools.lib.completion")
local q, check = staging.quote, staging.check

staging.need("bash")

local completion = staging.build .. "/doc/tarvex.bash"
check(staging.exists(completion), "no completion at %s", completion)
check(Completion.bash() == sub.read(completion), "the built completion differs from what the tables give")

-- A directory to complete in: two files, a directory, nothing else.
os.execute("mkdir -p tree/outdir && touch tree/sample.pcap tree/script.lua")
local tree = os.getenv("TEST_WORK_DIR") .. "/tree"

-- Runs the cases in one bash; returns, per case, the sorted words offered
-- and what `complete -p tarvex` said.
local function complete_all(file, cases)
    local lines = {
        "set -u",
        "source " .. q(file),
        "compspec=$(complete -p tarvex) || exit 3",
        'printf "compspec %s\\n" "$compspec"',
        'fn=${compspec#*-F }; fn=${fn%% *}',
        "cd " .. q(tree),
    }
    for index, case in ipairs(cases) do
        local words = {}
        for _, word in ipairs(case.words) do
            words[#words + 1] = q(word)
        end
        local line = table.concat(case.words, " ")
        lines[#lines + 1] = string.format("COMP_WORDS=(%s); COMP_CWORD=%d; COMP_LINE=%s; COMP_POINT=${#COMP_LINE}",
            table.concat(words, " "), #case.words - 1, q(line))
        lines[#lines + 1] = 'COMPREPLY=(); "$fn" tarvex "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"'
        lines[#lines + 1] = string.format('printf "case %d"; printf " %%s" "${COMPREPLY[@]}"; echo', index)
    end
    sub.write("cases.sh", table.concat(lines, "\n") .. "\n")
    local out, err = staging.run("bash --norc --noprofile cases.sh")
    check(err == "", "bash wrote on stderr: %s", err)
    local replies = {}
    local compspec = out:match("^compspec ([^\n]*)\n")
    for index, words in out:gmatch("\ncase (%d+)([^\n]*)") do
        local list = {}
        for word in words:gmatch("%S+") do
            list[#list + 1] = word
        end
        table.sort(list)
        replies[tonumber(index)] = table.concat(list, " ")
    end
    return compspec, replies
end

local function sorted(text)
    local list = {}
    for word in text:gmatch("%S+") do
        list[#list + 1] = word
    end
    table.sort(list)
    return table.concat(list, " ")
end

local function check_cases(file, cases)
    local compspec, replies = complete_all(file, cases)
    check(compspec == "complete -F _tarvex tarvex", "complete -p tarvex: %s", tostring(compspec))
    for index, case in ipairs(cases) do
        local want = sorted(case.want)
        check(replies[index] == want, "%q offers %q, expected %q",
            table.concat(case.words, " "), tostring(replies[index]), want)
    end
end

local tools = {}
for _, tool in ipairs(staging.tools()) do
    tools[#tools + 1] = tool.name
end
local tool_names = table.concat(tools, " ")
local files = "outdir sample.pcap script.lua"

local replay_options = {}
for _, option in ipairs(require("tarvex.tools.lib.cli").options(require("tarvex.tools").load("replay"))) do
    if option[1] then
        replay_options[#replay_options + 1] = "-" .. option[1]
    end
    replay_options[#replay_options + 1] = "--" .. option[2]
end

check_cases(completion, {
    { words = { "tarvex", "re" }, want = "replay respdiff" },
    { words = { "tarvex", "replay", "--ti" }, want = "--timing" },
    { words = { "tarvex", "help", "" }, want = tool_names },
    { words = { "tarvex", "help", "s" }, want = "stats split" },
    { words = { "tarvex", "help", "stats", "" }, want = "" },
    -- The first word: a tool, help, or a script path.
    { words = { "tarvex", "" }, want = tool_names .. " help " .. files },
    { words = { "tarvex", "sc" }, want = "script.lua" },
    { words = { "tarvex", "--v" }, want = "--version" },
    -- Option values by metavar: FILE, DIR, and a port that has nothing to offer.
    { words = { "tarvex", "replay", "-r", "" }, want = files },
    { words = { "tarvex", "replay", "--read", "sa" }, want = "sample.pcap" },
    { words = { "tarvex", "respdiff", "-o", "" }, want = "outdir" },
    { words = { "tarvex", "capture", "-w", "s" }, want = "sample.pcap script.lua" },
    { words = { "tarvex", "replay", "-p", "" }, want = "" },
    { words = { "tarvex", "replay", "--port", "5" }, want = "" },
    -- --read=value reaches the function as three words.
    { words = { "tarvex", "replay", "--read", "=", "" }, want = files },
    { words = { "tarvex", "replay", "--read", "=", "sa" }, want = "sample.pcap" },
    { words = { "tarvex", "replay", "--read", "=" }, want = files },
    -- Short options grouped: the value follows the first letter that takes one.
    { words = { "tarvex", "replay", "-ar", "" }, want = files },
    { words = { "tarvex", "respdiff", "-ro", "" }, want = files },
    { words = { "tarvex", "replay", "-ap", "" }, want = "" },
    -- Every option after a dash, and plain words are files.
    { words = { "tarvex", "replay", "-" }, want = table.concat(replay_options, " ") },
    { words = { "tarvex", "replay", "-r", "x.pcap", "--an" }, want = "--answers" },
    { words = { "tarvex", "dump", "" }, want = files },
    { words = { "tarvex", "filter", "-Q", "sample.pcap", "o" }, want = "outdir" },
    { words = { "tarvex", "replay", "--", "-" }, want = "" },
    { words = { "tarvex", "replay", "--", "" }, want = files },
    -- The script form: a file, even one named like a tool, takes any words.
    { words = { "tarvex", "script.lua", "" }, want = files },
    { words = { "tarvex", "script.lua", "-" }, want = "" },
    { words = { "tarvex", "unknown", "s" }, want = "sample.pcap script.lua" },
})

-- Metavars and choices the built-in tables may not use yet, and a tool
-- name with a hyphen, through a completion made from a table of its own.
local made = Completion.bash({ tools = {
    {
        name = "made-up",
        summary = "s",
        usage = "",
        options = {
            { "i", "input", "", "a file", arg = "FILE" },
            { "o", "out-dir", "", "a directory", arg = "OUTDIR" },
            { "m", "mode", "fast", "a mode", arg = "MODE", choices = { "fast", "keep", "fixed" } },
            { "n", "count", "1", "a number", arg = "N" },
            { "u", "unsaid", "", "no metavar given" },
            { "f", "flag", false, "a flag" },
        },
    },
} })
sub.write("made.bash", made)
check_cases(os.getenv("TEST_WORK_DIR") .. "/made.bash", {
    { words = { "tarvex", "ma" }, want = "made-up" },
    { words = { "tarvex", "made-up", "-i", "" }, want = files },
    { words = { "tarvex", "made-up", "--out-dir", "" }, want = "outdir" },
    { words = { "tarvex", "made-up", "-m", "f" }, want = "fast fixed" },
    { words = { "tarvex", "made-up", "--mode", "=", "k" }, want = "keep" },
    { words = { "tarvex", "made-up", "-fm", "" }, want = "fast keep fixed" },
    { words = { "tarvex", "made-up", "-n", "" }, want = "" },
    { words = { "tarvex", "made-up", "-u", "sa" }, want = "sample.pcap" },
    { words = { "tarvex", "made-up", "--c" }, want = "--count" },
})

-- Words from a table end up in shell code: anything but a plain word stops
-- the generator.
for _, bad in ipairs({
    { name = "x; rm -rf /", summary = "s", options = {} },
    { name = "ok", summary = "s", options = { { "a", "$(reboot)", "", "h" } } },
    { name = "ok", summary = "s", options = { { "a", "all", "", "h", choices = { "`id`" } } } },
}) do
    local ok, err = pcall(Completion.bash, { tools = { bad } })
    check(not ok and tostring(err):find("not a plain word"), "an unsafe table word was accepted: %s", tostring(err))
end

print("completion checks pass")
