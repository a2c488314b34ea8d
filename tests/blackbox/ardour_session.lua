-- A headless Ardour session with the dummy backend: for each case a "play" MIDI track runs the
-- test notes through corvella.so and feeds a rec-armed "rec" track; after one recorded pass the
-- notes of every recording are printed as "CASE note CHANNEL NOTE VELOCITY BEATS".
-- usage: ardour7-lua ardour_session.lua SESSION_DIR VST_DIR [lxvst|lv2]
io.stdout:setvbuf ("no")
local dir, vst, format = arg[1], arg[2], arg[3] or "lxvst"

ARDOUR.config ():set_hide_dummy_backend (false)
ARDOUR.config ():set_plugin_path_lxvst (vst)
assert (AudioEngine:set_backend ("None (Dummy)", "", ""), "no dummy backend")
assert (AudioEngine:start (false) == 0, "the engine did not start")
assert (create_session (dir, "corvella", 48000), "no session")

local midi = ARDOUR.ChanCount (ARDOUR.DataType.midi (), 1)
local function track (name)
    local list = Session:new_midi_track (midi, midi, false, ARDOUR.PluginInfo (), nil, nil, 1, name,
                                         ARDOUR.PresentationInfo.max_order, ARDOUR.TrackMode.Normal,
                                         false, false)
    assert (list:size () == 1, "no track " .. name)
    return list:front ()
end

-- Each case: the parameters set on the plug-in (index, value; lists by their entry number,
-- which the VST 2 build takes as n/256 and the LV2 build's ports as n).
local cases = {
    { name = "thru", params = {} },
    -- Any message with first data byte 60 gets 67 instead; everything else is kept.
    { name = "replace", params = { { 2, 1.0 } }, lists = { { 31, 16 }, { 32, 23 }, { 33, 60 },
                                   { 34, 128 }, { 35, 16 }, { 36, 23 }, { 37, 67 }, { 38, 130 } } },
}
for _, c in ipairs (cases) do
    for _, l in ipairs (c.lists or {}) do
        table.insert (c.params, { l[1], format == "lv2" and l[2] or l[2] / 256 })
    end
end

for _, c in ipairs (cases) do
    local play, rec = track (c.name .. "-play"), track (c.name .. "-rec")
    local notes = ARDOUR.LuaAPI.new_luaproc (Session, "Corvella test notes")
    assert (not notes:isnil (), "the test-note script was not found")
    assert (play:add_processor_by_index (notes, 0, nil, true) == 0)
    local plugin
    if format == "lv2" then
        plugin = ARDOUR.LuaAPI.new_plugin (Session, "urn:quobel:corvella", ARDOUR.PluginType.LV2, "")
    else
        plugin = ARDOUR.LuaAPI.new_plugin (Session, "corvella 9-30-2003", ARDOUR.PluginType.LXVST, "")
    end
    assert (not plugin:isnil (), "Ardour did not load the " .. format .. " plug-in")
    assert (play:add_processor_by_index (plugin, 1, nil, true) == 0)
    for _, p in ipairs (c.params) do
        assert (ARDOUR.LuaAPI.set_processor_param (plugin, p[1], p[2]), "parameter " .. p[1])
    end
    play:output ():disconnect_all (nil)
    rec:input ():disconnect_all (nil)
    assert (play:output ():connect (play:output ():midi (0), rec:input ():midi (0):name (), nil) == 0)
    rec:rec_enable_control ():set_value (1, PBD.GroupControlDisposition.NoGroup)
    c.rec = rec
end

Session:save_state ("", false, false, false, false, false)
Session:maybe_enable_record (false)
Session:request_roll (ARDOUR.TransportRequestSource.TRS_UI)
-- Roll past the last message (sample 60000), at most ten seconds.
for _ = 1, 100 do
    ARDOUR.LuaAPI.usleep (100000)
    if Session:transport_sample () > 84000 then break end
end
print ("rolled to " .. Session:transport_sample ())
Session:request_stop (false, false, ARDOUR.TransportRequestSource.TRS_UI)
for _ = 1, 50 do
    ARDOUR.LuaAPI.usleep (100000)
    if not Session:transport_rolling () then break end
end
ARDOUR.LuaAPI.usleep (500000)

for _, c in ipairs (cases) do
    for r in c.rec:playlist ():region_list ():iter () do
        local model = r:to_midiregion ():model ()
        for n in ARDOUR.LuaAPI.note_list (model):iter () do
            print (string.format ("%s note %d %d %d %s", c.name, n:channel (), n:note (),
                                  n:velocity (), n:time ():str ()))
        end
    end
end
print ("done")
