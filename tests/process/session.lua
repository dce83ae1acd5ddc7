-- One complete milter session against a running filter, as an MTA would
-- drive it: connect, HELO, MAIL, RCPT, header, body, end of message.
-- The socket comes in the global "socket" (miltertest -D socket=...).
-- Steps the filter declined at negotiation are not sent; every step that
-- is sent must be answered with CONTINUE (end of message: CONTINUE or
-- ACCEPT).

local function check(cond, what)
    if not cond then
        error(what, 2)
    end
end

local function run()
    check(socket ~= nil, "no socket given")
    local conn = mt.connect(socket, 100, 0.2)
    check(conn ~= nil, "cannot connect to " .. socket)
    check(mt.negotiate(conn, 6, 0x1ff, 0x1fffff) == nil, "negotiation failed")

    local function step(skip_flag, name, send, ...)
        if skip_flag ~= nil and mt.test_option(conn, skip_flag) then
            print(name .. ": not requested by the filter")
            return
        end
        check(send(conn, ...) == nil, name .. " could not be sent")
        local reply = mt.getreply(conn)
        check(reply == SMFIR_CONTINUE, name .. ": unexpected reply " .. tostring(reply))
        print(name .. ": continue")
    end

    step(SMFIP_NOCONNECT, "connect", mt.conninfo, "mx.example.net", "192.0.2.10")
    step(SMFIP_NOHELO, "helo", mt.helo, "mx.example.net")
    mt.macro(conn, SMFIC_MAIL, "i", "SESSION1")
    step(SMFIP_NOMAIL, "mail", mt.mailfrom, "<sender@example.net>")
    step(SMFIP_NORCPT, "rcpt", mt.rcptto, "<user@example.com>")
    step(SMFIP_NOHDRS, "header", mt.header, "Subject", "session test")
    step(SMFIP_NOEOH, "eoh", mt.eoh)
    step(SMFIP_NOBODY, "body", mt.bodystring, "hello\r\n")

    check(mt.eom(conn) == nil, "end of message could not be sent")
    local reply = mt.getreply(conn)
    check(reply == SMFIR_CONTINUE or reply == SMFIR_ACCEPT,
          "end of message: unexpected reply " .. tostring(reply))
    print("eom: " .. (reply == SMFIR_ACCEPT and "accept" or "continue"))

    mt.disconnect(conn)
end

local ok, err = xpcall(run, debug.traceback)
if not ok then
    print("session failed: " .. tostring(err))
    os.exit(1)
end
print("session complete")
