// How long ports are waited for, the same on every platform; the notices
// that name these times take them from here.
#pragma once

// The silence that ends a receive once data has come.
constexpr int quiet_end_ms = 2000;

// The pause between bytes after which a read returns what has come.
constexpr int gather_pause_ms = 50;

// The time in which a port has taken nothing that makes a stall to tell.
constexpr int stall_notice_ms = 5000;

// How often a wait on a port's progress looks again: the output queue in a
// drain, a write that returns with what the port took.
constexpr int progress_check_ms = 100;

