-- Label: arrays of label records and the text of the names they describe.
--   local labels = Label.new(16)
--   local text, pointer = Label.tostring(dns, labels, q.labels)
module("tarvex.core.object.dns.label", package.seeall)

require("tarvex.core.object.dns_h")
local ffi = require("ffi")

Label = {}

function Label.new(size)
    return ffi.new("core_object_dns_label_t[?]", size)
end

-- The text of an ordinary label, or nil when the record does not describe
-- text inside this message (a record from another message, say).
local function label_text(dns, label)
    if label.have_dn ~= 1 or label.offset + 1 + label.length > dns.len then
        return nil
    end
    return ffi.string(dns.payload + label.offset + 1, label.length)
end

-- The name's text, each label followed by a dot, and the pointer's value when
-- a compression pointer ends it (pointers are not followed).
function Label.tostring(dns, labels, num_labels, offset_labels)
    offset_labels = tonumber(offset_labels) or 0
    local text
    for index = offset_labels, offset_labels + tonumber(num_labels) - 1 do
        local label = labels[index]
        local part = label_text(dns, label)
        if part then
            text = (text or "") .. part .. "."
        elseif label.have_offset == 1 then
            return text, label.offset
        else
            return text
        end
    end
    return text
end

-- The name with each label's position: "<40>www.<12>".
function Label.tooffstr(dns, labels, num_labels, offset_labels)
    offset_labels = tonumber(offset_labels) or 0
    local out = ""
    for index = offset_labels, offset_labels + tonumber(num_labels) - 1 do
        local label = labels[index]
        local part = label_text(dns, label)
        if part then
            out = out .. "<" .. label.offset .. ">" .. part .. "."
        elseif label.have_offset == 1 then
            return out .. "<" .. label.offset .. ">"
        else
            return out
        end
    end
    return out
end

return Label
