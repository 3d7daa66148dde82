-- Reads an LMDB environment back with mdb_dump (lmdb-utils), independently
-- of the engine's own code. Returns { [hex key] = hex value } per database.
local mdb = {}

function mdb.dump(path, name)
    local pipe = io.popen(string.format("mdb_dump -s %s '%s' 2>/dev/null", name, path))
    local entries, order = {}, {}
    local in_data, key = false, nil
    for line in pipe:lines() do
        if line == "HEADER=END" then
            in_data = true
        elseif line == "DATA=END" then
            in_data = false
        elseif in_data and line:sub(1, 1) == " " then
            if key == nil then
                key = line:sub(2)
            else
                entries[key] = line:sub(2)
                order[#order + 1] = key
                key = nil
            end
        end
    end
    local ok = pipe:close()
    return entries, order
end

function mdb.hex(text)
    return (text:gsub(".", function(c) return string.format("%02x", c:byte()) end))
end

return mdb
