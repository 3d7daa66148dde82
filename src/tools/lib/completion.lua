-- The bash completion of tarvex, made from the tools' own option tables so
-- that it offers what -h lists: tool names for the first word (and paths,
-- for the script form), a tool's options, and for an option's value what its
-- metavar says it is (FILE and DIR: paths, HOST: host names, IFACE: network
-- interfaces, a `choices` list: those words). The build writes it with
-- scripts/gendoc.lua; it needs bash alone, not the bash-completion package.
--   local text = Completion.bash()                     -- every tool
--   local text = Completion.bash({ tools = { tool } }) -- these tool tables
module("tarvex.tools.lib.completion", package.seeall)

local Cli = require("tarvex.tools.lib.cli")

Completion = {}

-- Every word from a table lands in shell code, so only plain words pass; any
-- other is a mistake in a table, and the generator stops rather than write a
-- script that does something else.
local function plain(word, what)
    if type(word) ~= "string" or not word:match("^[%w][%w_.:+-]*$") then
        error(string.format("%s %q is not a plain word", what, tostring(word)), 0)
    end
    return word
end

local kinds_by_metavar = { FILE = "file", DIR = "dir", HOST = "host", IFACE = "iface" }

-- What the value of an option is, for completion: "" (a flag, no value),
-- "words" (option.choices), "file", "dir", "host", "iface", or "none" (a
-- number, a name: nothing to offer). An option whose table gives no metavar
-- could hold anything, a path among them, so it gets what readline offers
-- without a completion: paths.
function Completion.kind(option)
    if type(option[3]) == "boolean" then
        return ""
    end
    if type(option.choices) == "table" then
        return "words"
    end
    local metavar = Cli.metavar(option)
    if kinds_by_metavar[metavar] then
        return kinds_by_metavar[metavar]
    end
    if metavar:match("FILE$") or metavar:match("PATH$") then
        return "file"
    end
    if metavar:match("DIR$") then
        return "dir"
    end
    if metavar == "VALUE" then
        return "file"
    end
    return "none"
end

local function option_words(option)
    local words = { "--" .. plain(option[2], "option") }
    if option[1] then
        table.insert(words, 1, "-" .. plain(option[1], "option letter"))
    end
    return words
end

-- _tarvex_tool_NAME sets `options` to every option word of the tool and,
-- for the option word in $1, `kind` to what its value is (see kind above)
-- and `choices` to the words of a "words" kind.
local function tool_function(tool)
    local name = plain(tool.name, "tool")
    local all, cases = {}, {}
    for _, option in ipairs(Cli.options(tool)) do
        local words = option_words(option)
        for _, word in ipairs(words) do
            all[#all + 1] = word
        end
        local kind = Completion.kind(option)
        if kind ~= "" then
            local case = string.format("        %s) kind=%s", table.concat(words, "|"), kind)
            if kind == "words" then
                local choices = {}
                for _, choice in ipairs(option.choices) do
                    choices[#choices + 1] = plain(choice, "choice")
                end
                case = case .. string.format(' choices="%s"', table.concat(choices, " "))
            end
            cases[#cases + 1] = case .. " ;;"
        end
    end
    local lines = {
        "_tarvex_tool_" .. name:gsub("%W", "_") .. "()",
        "{",
        string.format('    options="%s"', table.concat(all, " ")),
        '    kind= choices=',
        '    case $1 in',
    }
    for _, case in ipairs(cases) do
        lines[#lines + 1] = case
    end
    lines[#lines + 1] = "    esac"
    lines[#lines + 1] = "}"
    return table.concat(lines, "\n")
end

-- The completion function itself: the same for every set of tools, so it is
-- written here once as shell code.
local body = [=[
# Adds the words of $1 that begin with the current word.
_tarvex_words()
{
    mapfile -t -O "${#COMPREPLY[@]}" COMPREPLY < <(compgen -W "$1" -- "$cur")
}

# Adds what an option's value or a word can be: kind file, dir, host, iface
# or words (from $choices).
_tarvex_values()
{
    case $1 in
        file)
            mapfile -t -O "${#COMPREPLY[@]}" COMPREPLY < <(compgen -f -- "$cur")
            compopt -o filenames 2>/dev/null ;;
        dir)
            mapfile -t -O "${#COMPREPLY[@]}" COMPREPLY < <(compgen -d -- "$cur")
            compopt -o filenames 2>/dev/null ;;
        host)
            mapfile -t -O "${#COMPREPLY[@]}" COMPREPLY < <(compgen -A hostname -- "$cur") ;;
        iface)
            local names=
            if [[ -d /sys/class/net ]]; then
                names=$(cd /sys/class/net && printf '%s ' *)
            fi
            _tarvex_words "$names" ;;
        words)
            _tarvex_words "$choices" ;;
    esac
}

_tarvex()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev= options= kind= choices=
    COMPREPLY=()
    if (( COMP_CWORD > 0 )); then
        prev=${COMP_WORDS[COMP_CWORD-1]}
    fi

    if (( COMP_CWORD == 1 )); then
        if [[ $cur == -* ]]; then
            _tarvex_words "-h --help -V --version"
        else
            _tarvex_words "$_tarvex_tools help"
            _tarvex_values file
        fi
        return 0
    fi

    local first=${COMP_WORDS[1]} tool= name
    if [[ $first == help ]]; then
        if (( COMP_CWORD == 2 )); then
            _tarvex_words "$_tarvex_tools"
        fi
        return 0
    fi
    # A first word that names an existing file is the script, even when it
    # is also a tool's name; the script's own arguments are unknown.
    if [[ ! -e $first ]]; then
        for name in $_tarvex_tools; do
            if [[ $name == "$first" ]]; then
                tool=$name
            fi
        done
    fi
    if [[ -z $tool ]]; then
        _tarvex_values file
        return 0
    fi

    local index
    for (( index = 2; index < COMP_CWORD; index++ )); do
        if [[ ${COMP_WORDS[index]} == -- ]]; then
            _tarvex_values file
            return 0
        fi
    done

    # bash splits --opt=value at the equals sign into three words.
    local option=$prev
    if [[ $cur == = && $prev == --* ]]; then
        cur=
    elif [[ $prev == = ]] && (( COMP_CWORD > 2 )) && [[ ${COMP_WORDS[COMP_CWORD-2]} == --* ]]; then
        option=${COMP_WORDS[COMP_CWORD-2]}
    elif [[ $prev == -[!-]* ]]; then
        # A group of short options: the value is the next word only when the
        # last letter is the first one that takes a value.
        option=
        local at letter
        for (( at = 1; at < ${#prev}; at++ )); do
            letter=${prev:at:1}
            "_tarvex_tool_${tool//[!a-zA-Z0-9]/_}" "-$letter"
            if [[ -n $kind ]]; then
                if (( at == ${#prev} - 1 )); then
                    option=-$letter
                fi
                break
            fi
        done
    fi

    "_tarvex_tool_${tool//[!a-zA-Z0-9]/_}" "$option"
    if [[ -n $kind && $option == -* ]]; then
        _tarvex_values "$kind"
        return 0
    fi
    if [[ $cur == -* ]]; then
        _tarvex_words "$options"
    else
        # A tool's plain words are its captures and outputs.
        _tarvex_values file
    fi
    return 0
}

complete -F _tarvex tarvex
]=]

local function all_tools()
    local Tools = require("tarvex.tools")
    local tools = {}
    for _, name in ipairs(Tools.names) do
        tools[#tools + 1] = Tools.load(name)
    end
    return tools
end

-- The whole completion script. `config` may give `tools` (tool tables,
-- default every built-in tool).
function Completion.bash(config)
    config = config or {}
    local tools = config.tools or all_tools()
    local names, functions = {}, {}
    for _, tool in ipairs(tools) do
        names[#names + 1] = plain(tool.name, "tool")
        functions[#functions + 1] = tool_function(tool)
    end
    local parts = {
        "# bash completion for tarvex, made from the tools' option tables when tarvex",
        "# was built (tarvex " .. plain(TARVEX_VERSION or "0", "version") .. "). Source it, or install it as",
        "# share/bash-completion/completions/tarvex.",
        "",
        string.format('_tarvex_tools="%s"', table.concat(names, " ")),
        "",
        table.concat(functions, "\n\n"),
        "",
        body,
    }
    return table.concat(parts, "\n")
end

return Completion
