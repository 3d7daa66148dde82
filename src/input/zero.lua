-- The zero input is an add-on: this module hands out the class of
-- example.input.zero under the system's own name, or says how to get it.
module("tarvex.input.zero", package.seeall)

ok, cls = pcall(require, "example.input.zero")
if not ok then
    -- Forget this failed load so that a later require tries again (after
    -- the script fixed package.path, say) instead of yielding this table.
    package.loaded["tarvex.input.zero"] = nil
    error("You need to install the example module input-example\n" .. tostring(cls), 0)
end
return cls
