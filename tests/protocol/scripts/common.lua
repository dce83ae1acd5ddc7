-- Shared by the protocol scripts: opening a session with the daemon, checks
-- that say what they expected, and a runner that keeps going after a failed
-- case and reports every failure with its traceback (miltertest itself ends
-- silently with status 1 on the first Lua error).
--
-- Globals from the driver: sock (the daemon's socket, "unix:/path").

local M = {}

local reply_names = {
    [SMFIR_CONTINUE] = "CONTINUE", [SMFIR_REJECT] = "REJECT",
    [SMFIR_TEMPFAIL] = "TEMPFAIL", [SMFIR_ACCEPT] = "ACCEPT",
    [SMFIR_REPLYCODE] = "REPLYCODE", [SMFIR_DISCARD] = "DISCARD",
}

function M.reply_name(code)
    if code == nil then
        return "nil"
    end
    return reply_names[code] or ("'" .. string.char(math.tointeger(code) or 63) .. "'")
end

function M.check(cond, what)
    if not cond then
        error(what, 2)
    end
end

-- The call returned nil (miltertest's success) and the filter answered
-- with the expected reply.
function M.expect_reply(conn, result, expected, what)
    if result ~= nil then
        error(what .. ": " .. tostring(result), 2)
    end
    local got = mt.getreply(conn)
    if got ~= expected then
        error(what .. ": expected " .. M.reply_name(expected) .. ", got " .. M.reply_name(got), 2)
    end
end

-- A connection from client host name and address, negotiated with what
-- Postfix offers unless actions and steps are given, the connect macro "j"
-- set to authserv.
function M.session(host, ip, authserv, actions, steps)
    local conn = mt.connect(sock, 200, 0.05)
    M.check(conn ~= nil, "mt.connect(" .. sock .. ") failed")
    -- This miltertest takes the protocol steps before the actions, the
    -- other way round from its manual page.
    local err = mt.negotiate(conn, 6, steps or 0x1fffff, actions or 0x1ff)
    M.check(err == nil, "mt.negotiate(): " .. tostring(err))
    if authserv ~= nil then
        mt.macro(conn, SMFIC_CONNECT, "j", authserv)
    end
    M.expect_reply(conn, mt.conninfo(conn, host, ip), SMFIR_CONTINUE, "connect")
    return conn
end

-- A header insert by name, by name and value, or by name, value and index
-- (miltertest counts a nil argument as given).
function M.inserted(conn, name, value, index)
    if index ~= nil then
        return mt.eom_check(conn, MT_HDRINSERT, name, value, index)
    elseif value ~= nil then
        return mt.eom_check(conn, MT_HDRINSERT, name, value)
    end
    return mt.eom_check(conn, MT_HDRINSERT, name)
end

-- Runs every case, each a table with a name and a function run(); prints a
-- traceback for each failure and ends with status 1 when any failed.
function M.run(cases)
    local failed = 0
    for _, c in ipairs(cases) do
        local ok, err = xpcall(c.run, debug.traceback)
        if ok then
            print("ok   " .. c.name)
        else
            failed = failed + 1
            print("FAIL " .. c.name .. "\n" .. tostring(err))
        end
    end
    print(string.format("%d of %d cases failed", failed, #cases))
    if failed > 0 then
        os.exit(1)
    end
end

return M
