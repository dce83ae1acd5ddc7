-- Verification of tagged recipients, one message per outcome, in the mode
-- the daemon was started in. Each message has the recipient under test and
-- a second recipient without a domain, which is never verified, so that the
-- message reaches end of message even when the first one is refused.
--
-- Globals from the driver:
--   sock, dir      the daemon's socket; this script's directory
--   mode           "normal", "header" (-r) or "test" (-n)
--   replies        "1" when the daemon runs with -S
--   quarantine     "1" when the daemon runs with -q
--   authserv       the value sent as macro "j"
--   valid, forged, expired, syntax, badversion
--                  tagged forms of the address plain
--   plain          the plain address

local t = dofile(dir .. "/common.lua")

local C, R, T = SMFIR_CONTINUE, SMFIR_REJECT, SMFIR_TEMPFAIL
local refused = replies == "1" and SMFIR_REPLYCODE or R
local quarantining = quarantine == "1"

-- verdict: the RCPT answer in each mode; word: the Authentication-Results
-- result in header mode; replaced: the modes in which end of message puts
-- the plain address in place of the tagged one; failed: the message is a
-- quarantine candidate.
local outcomes = {
    {name = "valid tag", sender = "<>", rcpt = valid,
     verdict = {normal = C, header = C, test = C}, word = "pass",
     replaced = {normal = true, header = true}, failed = false},
    {name = "forged tag", sender = "<>", rcpt = forged,
     verdict = {normal = refused, header = C, test = C}, word = "fail (verification failed)",
     replaced = {header = true}, failed = true},
    {name = "expired tag", sender = "<>", rcpt = expired,
     verdict = {normal = refused, header = C, test = C}, word = "fail (verification failed)",
     replaced = {header = true}, failed = true},
    {name = "tag syntax error", sender = "<>", rcpt = syntax,
     verdict = {normal = T, header = T, test = T}, word = "fail (verification failed)",
     replaced = {}, failed = true},
    {name = "key version mismatch", sender = "<>", rcpt = badversion,
     verdict = {normal = T, header = C, test = T}, word = "fail (version mismatch)",
     replaced = {}, failed = false},
    {name = "bounce to untagged address", sender = "<>", rcpt = plain,
     verdict = {normal = C, header = C, test = C}, word = "fail (not signed)",
     replaced = {}, failed = true},
    {name = "ordinary mail to untagged address", sender = "<someone@example.net>", rcpt = plain,
     verdict = {normal = C, header = C, test = C}, word = "fail (not signed)",
     replaced = {}, failed = true},
}

local cases = {}

for _, o in ipairs(outcomes) do
    table.insert(cases, {name = o.name .. " (" .. mode .. " mode)", run = function()
        local conn = t.session("mx.example.net", "192.0.2.10", authserv)
        mt.macro(conn, SMFIC_MAIL, "i", "JOB1")
        t.expect_reply(conn, mt.mailfrom(conn, o.sender), C, "MAIL FROM")
        t.expect_reply(conn, mt.rcptto(conn, "<" .. o.rcpt .. ">"), o.verdict[mode], "RCPT TO")
        t.expect_reply(conn, mt.rcptto(conn, "<postmaster>"), C, "RCPT TO postmaster")
        t.expect_reply(conn, mt.eom(conn), C, "end of message")

        if mode == "header" then
            local value = " " .. authserv .. "; x-batv=" .. o.word .. " smtp.rcpt=" .. o.rcpt
            t.check(t.inserted(conn, "Authentication-Results", value, 1),
                    "no Authentication-Results header \"" .. value .. "\" at index 1")
        else
            t.check(not t.inserted(conn, "Authentication-Results"),
                    "Authentication-Results header outside header mode")
        end

        if o.replaced[mode] then
            t.check(mt.eom_check(conn, MT_RCPTDELETE, "<" .. o.rcpt .. ">"), "tagged recipient not deleted")
            t.check(mt.eom_check(conn, MT_RCPTADD, plain), "plain recipient not added")
        else
            t.check(not mt.eom_check(conn, MT_RCPTDELETE, "<" .. o.rcpt .. ">"), "recipient deleted")
            t.check(not mt.eom_check(conn, MT_RCPTADD, plain), "recipient added")
        end

        local expect_quarantine = quarantining and o.failed
        if expect_quarantine then
            t.check(mt.eom_check(conn, MT_QUARANTINE, "quarantined by Vellicor"),
                    "message not quarantined")
        else
            t.check(not mt.eom_check(conn, MT_QUARANTINE), "message quarantined")
        end
        t.check(not t.inserted(conn, "X-BATV"), "X-BATV header without -h")
        mt.disconnect(conn)
    end})
end

-- An internal client's recipients are never verified, whatever their tag.
table.insert(cases, {name = "forged tag from an internal client (" .. mode .. " mode)", run = function()
    local conn = t.session("localhost", "127.0.0.1", authserv)
    t.expect_reply(conn, mt.mailfrom(conn, "<>"), C, "MAIL FROM")
    t.expect_reply(conn, mt.rcptto(conn, "<" .. forged .. ">"), C, "RCPT TO")
    t.expect_reply(conn, mt.eom(conn), C, "end of message")
    t.check(not t.inserted(conn, "Authentication-Results"), "Authentication-Results header")
    t.check(not mt.eom_check(conn, MT_RCPTDELETE, "<" .. forged .. ">"), "recipient deleted")
    t.check(not mt.eom_check(conn, MT_QUARANTINE), "message quarantined")
    mt.disconnect(conn)
end})

-- Two transactions on one connection: the second one's end of message acts
-- on its own recipients only, also after an aborted transaction.
table.insert(cases, {name = "one connection, several transactions (" .. mode .. " mode)", run = function()
    local conn = t.session("mx.example.net", "192.0.2.10", authserv)
    t.expect_reply(conn, mt.mailfrom(conn, "<>"), C, "first MAIL FROM")
    t.expect_reply(conn, mt.rcptto(conn, "<" .. forged .. ">"), mode == "normal" and refused or C,
                   "first RCPT TO")
    t.check(mt.abort(conn) == nil, "abort")
    t.expect_reply(conn, mt.mailfrom(conn, "<>"), C, "second MAIL FROM")
    t.expect_reply(conn, mt.rcptto(conn, "<" .. valid .. ">"), C, "second RCPT TO")
    t.expect_reply(conn, mt.eom(conn), C, "end of message")
    t.check(not mt.eom_check(conn, MT_RCPTDELETE, "<" .. forged .. ">"), "aborted recipient deleted")
    if mode ~= "test" then
        t.check(mt.eom_check(conn, MT_RCPTDELETE, "<" .. valid .. ">"), "tagged recipient not deleted")
        t.check(mt.eom_check(conn, MT_RCPTADD, plain), "plain recipient not added")
    end
    t.check(not mt.eom_check(conn, MT_QUARANTINE), "message quarantined for an aborted recipient")
    mt.disconnect(conn)
end})

t.run(cases)
