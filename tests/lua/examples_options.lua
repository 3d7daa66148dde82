-- The example scripts take their options through getopt and print the usage
-- text on -h.
local tarvex = arg[0]
local examples = os.getenv("TEST_SOURCE_DIR") .. "/examples/"

local function run(args)
    local status = os.execute(tarvex .. " " .. args .. " >out.txt 2>err.txt")
    local out = assert(io.open("out.txt")):read("*a")
    local err = assert(io.open("err.txt")):read("*a")
    return status, out, err
end

local function escape(text)
    return (text:gsub("%p", "%%%0"))
end

-- { arguments, exit status, stdout pattern, stderr pattern }
local hello, zero_null = examples .. "hello.lua", examples .. "zero_null.lua"
local cases = {
    { hello .. " -h", 0, "^usage: " .. escape(hello) .. " %[options%.%.%.%]\n\t%-q %-%-quiet\t[^\n]+\n\t%-h %-%-help\tDisplay this help text\n$", "^$" },
    { hello, 0, "^tarvex ", "^core info: script " .. escape(hello) .. " started with 0 arguments\n$" },
    { hello .. " --quiet", 0, "errstr%(2%) = ENOENT\n$", "^$" },
    { hello .. " --nosuch", 1, "^$", "unknown option nosuch\n$" },
    { zero_null .. " -h", 0, "^usage: [^\n]+\n\t%-n %-%-count 1000000\t[^\n]+\n\t%-p %-%-pull\t[^\n]+\n\t%-h %-%-help\t", "^$" },
    { zero_null .. " -n 1000", 0, "^pushed 1000 records, 1000 counted, ", "^$" },
    { zero_null .. " -p --count 1000", 0, "^pulled 1000 records, 1000 counted, ", "^$" },
    { zero_null .. " -n", 1, "^$", "option count needs argument\n$" },
}
for _, case in ipairs(cases) do
    local args, expected_status, out_pattern, err_pattern = unpack(case)
    local status, out, err = run(args)
    assert(status == expected_status * 256, string.format("%s: status %d, stderr %q", args, status, err))
    assert(out:find(out_pattern), string.format("%s: stdout %q", args, out))
    assert(err:find(err_pattern), string.format("%s: stderr %q", args, err))
end
print("example option cases pass")
