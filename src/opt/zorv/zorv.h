// The zorv daemon's own hooks in the application frame: its options, its
// configuration keys, the configuration text, the instance check, the start
// and the stop of its listeners. main (zorv_main.cpp) installs them.
#pragma once

// Hook opt_parse_proc: the option loop over "c:o:n:l:dqpiue:vhs:w". 0;
// -v, -h, "-s list" and usage errors end the process.
int app_opt_parse(int argc, char **argv);
// Hook conf_load_proc: the keys of sections "zorv" and "debug" of the file
// the frame read (app_conf; path names it). 0, or -1 when no file loaded
// (every value then stays as it was). A port that is no number is refused
// at warn level as written and gives 0 (that listener does not start).
int app_conf_file_init(const char *path);
// The address a listener binds: the configured one, or 127.0.0.1 when it is
// missing or empty. Every address is served only when named ("0.0.0.0",
// "::"): a key left out must not open the daemon to every host.
const char *listen_addr(const char *configured);
// Hook conf_dump_proc and the "config" show-value: the settings as
// "key=value" lines, then the logger's. Free with os_free.
char *app_conf_show();
// Hook check_instance_proc: -1 when something answers on 127.0.0.1 at the
// NBD port (another instance), else 0.
int app_check_instance();
// Hook lib_init_proc and lib_exit_proc.
int app_lib_init();
int app_lib_exit();
// Hook user_stop_proc: the stop sequence, app_exit, status 0. Runs on the
// frame's stop thread, never in the signal handler.
[[noreturn]] int app_sig_stop_handler(int signo);

// The NBD listener on the settings' address and port with a new client pool
// (0 or -1); its stop: listener closed, then every client stopped.
int nbdsrv_start();
int nbdsrv_stop();

// Starts the listeners, then runs the main loop until the service stops:
// with -d the sleep loop, at the console the console session. 0, or the
// negative result of the NBD server start.
int app_start_server();
// The stop sequence: runs once, whoever calls first (a stop signal, the
// shell's "exit"); a caller that finds it running on another thread waits
// until it has finished. 0.
int app_stop_server();
