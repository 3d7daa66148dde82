-- The null output is an add-on: this module hands out the class of
-- example.output.null under the system's own name, or says how to get it.
module("tarvex.output.null", package.seeall)

ok, cls = pcall(require, "example.output.null")
if not ok then
    -- Forget this failed load so that a later require tries again (after
    -- the script fixed package.path, say) instead of yielding this table.
    package.loaded["tarvex.output.null"] = nil
    error("You need to install the example module output-example\n" .. tostring(cls), 0)
end
return cls
