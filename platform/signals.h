// The signals that ask a program to stop: SIGTERM, SIGINT and SIGHUP. They
// are taken out of asynchronous delivery: blocked in the calling thread
// (and so in every thread it starts afterwards) and waited for by one
// thread of their own, which hands each to the program's routine there, so
// that the routine may lock, log and call what it likes. A signal that was
// ignored when the program started (nohup, a background job of a script)
// stays ignored. Children that the program forks get the signals back.
#pragma once

using stop_signal_fn = void (*)(int signo);

// Call before any other thread is started. False when the waiting thread
// could not be started: the signals then act as they did before.
bool stop_signals_start(stop_signal_fn on_signal);
