ardour {
    ["type"] = "dsp",
    name = "Corvella test notes",
    category = "Utility",
    license = "MIT",
    description = [[Plays a fixed list of MIDI messages at fixed transport positions (48 kHz samples) while the transport rolls; the Ardour session test feeds them to the plug-in.]]
}

function dsp_ioconfig ()
    return { { midi_in = 1, midi_out = 1, audio_in = 0, audio_out = 0 } }
end

-- Note 60 on beat 1 and note 64 on beat 2 at 120 bpm, each half a beat long.
local schedule = {
    { 24000, { 0x90, 60, 100 } }, { 36000, { 0x80, 60, 0 } },
    { 48000, { 0x90, 64, 90 } }, { 60000, { 0x80, 64, 0 } },
}

function dsp_run (_, _, n_samples)
    if not Session:transport_rolling () then return end
    local pos = Session:transport_sample ()
    local n = 1
    for _, e in ipairs (schedule) do
        if e[1] >= pos and e[1] < pos + n_samples then
            midiout[n] = { time = e[1] - pos + 1, data = e[2] }
            n = n + 1
        end
    end
end
