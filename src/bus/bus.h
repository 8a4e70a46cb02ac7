// Bus service: the daemon's name, signal subscriptions and method interface.
#pragma once

int start_zelmo_service();
int register_zelmo_service();
int register_zelmo_signal();
int deregister_zelmo_signal();
