-- Replays a capture over several threads: the reader and decoder run here,
-- the IP split filter gives every client to one of N channels, and each
-- channel is drained by a worker thread that sends the queries of its
-- clients through its own UDP sender (or only counts them without -s).
-- One client's queries always go through the same worker, in capture order.

local Tool = {
    name = "split",
    summary = "a replay spread over worker threads by client",
    usage = "[options...] -r FILE",
    options = {
        { "r", "read", "", "Capture file to replay", arg = "FILE" },
        { "n", "workers", "2", "Number of worker threads", arg = "N" },
        { "s", "server", "", "DNS server to send to (only count when empty)", arg = "HOST" },
        { "p", "port", "53", "Server port", arg = "PORT" },
        { "R", "random", false, "Give new clients to workers at random instead of in turn" },
        { "S", "seed", "1", "Seed for the random assignment", arg = "N" },
    },
}

function Tool.run(cli)
    cli:no_more_args()
    if cli:val("read") == "" then
        cli:fail("need a capture (-r FILE); run with -h for the options")
    end
    local workers, seed = cli:whole("workers", 1), cli:whole("seed", 0, 0xffffffff)
    local port = cli:whole("port", 0, 65535)
    local server = cli:val("server")
    -- A server the workers could not reach fails here, before any of them
    -- starts, with the system's reason.
    if server ~= "" then
        local probe = require("tarvex.output.udpcli").new()
        if probe:connect(server, tostring(port)) ~= 0 then
            cli:fail("cannot reach " .. server .. " port " .. port)
        end
    end

    -- Runs in its own interpreter state: everything arrives through the queue
    -- and every module is required again. A worker that fails says why on
    -- stderr, marks its status channel and goes on taking (and freeing) what
    -- its channel brings, so the reader never waits on it for good.
    local function worker(thr)
        local ffi = require("ffi")
        require("tarvex.core.channel")
        require("tarvex.core.objects")
        local C = ffi.C
        local id, channel, status, server, port = thr:pop(5)
        local function drain(why)
            io.stderr:write(string.format("tarvex split: worker %d: %s\n", id, why))
            status:put(ffi.cast("void*", 1))
            while true do
                local obj = channel:get()
                if obj == nil then
                    return
                end
                C.core_object_free(ffi.cast("core_object_t*", obj))
            end
        end
        local sender, send, ctx
        if server ~= "-" then
            local Udpcli = require("tarvex.output.udpcli")
            sender = Udpcli.new()
            if sender:connect(server, port) ~= 0 then
                return drain(string.format("cannot reach %s port %s", server, port))
            end
            send, ctx = sender:receive()
        end
        local queries, bytes = 0, 0
        while true do
            local obj = channel:get()
            if obj == nil then
                break
            end
            -- What arrives is an owned payload copy: use it, then free it.
            obj = ffi.cast("core_object_t*", obj)
            local payload = ffi.cast("core_object_payload_t*", obj)
            queries = queries + 1
            bytes = bytes + tonumber(payload.len)
            if send then
                send(ctx, obj)
            end
            C.core_object_free(obj)
        end
        local sent = ""
        if sender then
            sent = string.format(", %d sent, %d errors", sender:packets(), sender:errors())
        end
        -- One write per line, so that the workers' lines never interleave.
        io.stdout:write(string.format("worker %d: %d queries, %d bytes%s\n", id, queries, bytes, sent))
        io.stdout:flush()
    end

    local Object = require("tarvex.core.objects")
    local Channel = require("tarvex.core.channel")
    local Thread = require("tarvex.core.thread")
    local Decode = require("tarvex.tools.lib.decode")
    local IpSplit = require("tarvex.filter.ipsplit")
    local Copy = require("tarvex.filter.copy")

    local input = cli:open_capture(cli:val("read"))
    local ipsplit = IpSplit.new()
    if cli:val("random") then
        ipsplit:random(seed)
    end

    -- The records the decoder lends are reused for the next frame, so each
    -- channel gets copies of the payloads, which its worker frees.
    local channels, statuses, threads = {}, {}, {}
    for i = 1, workers do
        local channel, status = Channel.new(), Channel.new(4)
        local copy = Copy.new()
        copy:obj_type(Object.PAYLOAD)
        copy:receiver(channel)
        ipsplit:receiver(copy)
        local thr = Thread.new()
        if thr:start(worker) ~= 0 then
            -- The workers already running are stopped before the run ends.
            for started = 1, i - 1 do
                channels[started]:close()
                threads[started]:stop()
            end
            cli:fail("cannot start worker " .. i)
        end
        -- Thread items cannot be empty strings: "-" stands for "no server".
        thr:push(i, channel, status, server ~= "" and server or "-", tostring(port))
        channels[i], statuses[i], threads[i] = channel, status, thr
    end

    -- Messages over TCP reach the workers whole, without their length field.
    input:receiver(Decode.push(ipsplit, 53, input))
    local result = input:run()
    for _, channel in ipairs(channels) do
        channel:close()
    end
    for _, thr in ipairs(threads) do
        thr:stop()
    end
    print(string.format("read %d packets, %d without IP; reader result %d", input:packets(), ipsplit:discarded(), result))
    io.stdout:flush()
    local failed = 0
    for _, status in ipairs(statuses) do
        if status:try_get() ~= nil then
            failed = failed + 1
        end
    end
    if failed > 0 then
        cli:fail(string.format("%d of %d workers failed", failed, workers))
    end
    -- Reading by push, a reader tells a cut capture by its result.
    if result ~= 0 or input.obj.is_broken ~= 0 then
        cli:fail("the capture ends inside a record; split up to there")
    end
end

return Tool
