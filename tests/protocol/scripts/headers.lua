-- Negotiation and the X-BATV header, with the daemon started with -h.
--
-- Globals from the driver:
--   sock, dir      the daemon's socket; this script's directory
--   hostname       the host name the daemon reads at start
--   authserv       the value sent as macro "j"
--   quarantine     "1" when the daemon runs with -q

local t = dofile(dir .. "/common.lua")

local C = SMFIR_CONTINUE
local prefix = "Vellicor v0.5.0 " .. hostname .. " "

-- One message from client host/ip; returns the connection after end of
-- message. mail_job and eom_job are the values of macro "i" at MAIL FROM
-- and at end of message (none when nil).
local function message(host, ip, sender, rcpt, mail_job, eom_job, steps)
    local conn = t.session(host, ip, authserv, nil, steps)
    if mail_job ~= nil then
        mt.macro(conn, SMFIC_MAIL, "i", mail_job)
    end
    t.expect_reply(conn, mt.mailfrom(conn, sender, "SIZE=1000"), C, "MAIL FROM")
    t.expect_reply(conn, mt.rcptto(conn, rcpt), C, "RCPT TO")
    if eom_job ~= nil then
        mt.macro(conn, string.byte("E"), "i", eom_job)
    end
    t.expect_reply(conn, mt.eom(conn), C, "end of message")
    return conn
end

local function expect_xbatv(conn, value)
    t.check(t.inserted(conn, "X-BATV", value, 1), "no X-BATV header \"" .. value .. "\" at index 1")
end

local cases = {
    {name = "negotiated actions and steps", run = function()
        local conn = t.session("localhost", "127.0.0.1", authserv)
        for _, a in ipairs({SMFIF_ADDHDRS, SMFIF_ADDRCPT, SMFIF_DELRCPT, SMFIF_CHGFROM}) do
            t.check(mt.test_action(conn, a), "action " .. a .. " not requested")
        end
        for _, a in ipairs({SMFIF_CHGBODY, SMFIF_CHGHDRS}) do
            t.check(not mt.test_action(conn, a), "action " .. a .. " requested")
        end
        t.check(mt.test_action(conn, SMFIF_QUARANTINE) == (quarantine == "1"),
                "quarantine requested " .. tostring(mt.test_action(conn, SMFIF_QUARANTINE)))
        for _, o in ipairs({SMFIP_NOHELO, SMFIP_NOBODY, SMFIP_NOHDRS, SMFIP_NOEOH,
                            SMFIP_NOUNKNOWN, SMFIP_NODATA, SMFIP_HDR_LEADSPC}) do
            t.check(mt.test_option(conn, o), "step flag " .. o .. " not requested")
        end
        for _, o in ipairs({SMFIP_NOCONNECT, SMFIP_NOMAIL, SMFIP_NORCPT, SMFIP_NR_RCPT,
                            SMFIP_SKIP}) do
            t.check(not mt.test_option(conn, o), "step flag " .. o .. " requested")
        end
        mt.disconnect(conn)
    end},
    {name = "signed message from an internal client", run = function()
        local conn = message("localhost", "127.0.0.1", "<user@example.com>",
                             "<someone@example.net>", "JOB1", nil)
        expect_xbatv(conn, " " .. prefix .. "JOB1")
        t.check(not t.inserted(conn, "Authentication-Results"), "Authentication-Results header")
        t.check(not mt.eom_check(conn, MT_RCPTDELETE, "someone@example.net"), "recipient deleted")
        t.check(not mt.eom_check(conn, MT_QUARANTINE), "message quarantined")
        mt.disconnect(conn)
    end},
    {name = "job id defined only at end of message", run = function()
        local conn = message("localhost", "127.0.0.1", "<user@example.com>",
                             "<someone@example.net>", nil, "JOB2")
        expect_xbatv(conn, " " .. prefix .. "JOB2")
        mt.disconnect(conn)
    end},
    {name = "job id never defined", run = function()
        local conn = message("localhost", "127.0.0.1", "<user@example.com>",
                             "<someone@example.net>", nil, nil)
        expect_xbatv(conn, " " .. prefix .. "unknown-jobid")
        mt.disconnect(conn)
    end},
    {name = "bounce from an outside client also gets the header", run = function()
        local conn = message("mx.example.net", "192.0.2.10", "<>", "<postmaster>", "JOB3", nil)
        expect_xbatv(conn, " " .. prefix .. "JOB3")
        mt.disconnect(conn)
    end},
    {name = "no leading space unless the MTA asks for it", run = function()
        local conn = message("localhost", "127.0.0.1", "<user@example.com>",
                             "<someone@example.net>", "JOB4", nil, 0x0fffff)
        t.check(not mt.test_option(conn, SMFIP_HDR_LEADSPC), "leading space requested")
        expect_xbatv(conn, prefix .. "JOB4")
        mt.disconnect(conn)
    end},
}

t.run(cases)
