// orvek_cli — placeholder until the run driver lands.
int main() { return 16; }
