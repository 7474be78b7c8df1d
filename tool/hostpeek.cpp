// hostpeek: print what the system resolver returns for a service on a host.
// (Placeholder: filled in with the command.)
int main() { return 0; }
