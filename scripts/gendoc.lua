-- Writes a document made from the tools' own tables, with the tarvex that
-- runs it (the build runs the one it just linked):
--   tarvex scripts/gendoc.lua man OUT     the man page tarvex(1)
--   tarvex scripts/gendoc.lua bash OUT    the bash completion
-- The file appears whole or not at all: it is written beside OUT and renamed
-- over it, so an interrupted or failed build never leaves half a page that a
-- later build would take as up to date.
local makers = {
    man = function()
        return require("tarvex.tools.lib.manpage").render()
    end,
    bash = function()
        return require("tarvex.tools.lib.completion").bash()
    end,
}

local function fail(text)
    io.stderr:write("gendoc: ", text, "\n")
    os.exit(1)
end

local kind, out = arg[2], arg[3]
if not makers[kind] or not out or arg[4] ~= nil then
    fail("usage: tarvex gendoc.lua man|bash OUT")
end

local made, text = pcall(makers[kind])
if not made then
    fail(tostring(text))
end

local partial = out .. ".part"
local file, why = io.open(partial, "wb")
if not file then
    fail("cannot write " .. why)
end
local written, write_error = file:write(text)
local closed, close_error = file:close()
if not written or not closed then
    os.remove(partial)
    fail("cannot write " .. partial .. ": " .. tostring(write_error or close_error))
end
local renamed, rename_error = os.rename(partial, out)
if not renamed then
    os.remove(partial)
    fail("cannot rename " .. partial .. " to " .. out .. ": " .. tostring(rename_error))
end
