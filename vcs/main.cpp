// Entry of the console program kvcs.
int main() { return 0; }
