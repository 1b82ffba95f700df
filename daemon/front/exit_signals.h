// The daemon's clean exit on SIGINT, SIGTERM and SIGHUP: a thread waits for them, ends the
// process group of every program, cloudflared and every hook's directory, then lets the
// signal end the daemon by its default action.
#pragma once

// Blocks the three signals (an interrupt or a hang-up ignored at start stays ignored) and
// starts the thread that waits for them. Called before any other thread starts, so that
// every thread inherits the mask. False when the thread could not be made; the signals then
// keep their default action.
bool start_exit_thread();
