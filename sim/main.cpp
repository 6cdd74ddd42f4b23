// corvisk-sim: the simulated GigE Vision camera as a program.
int main() {
    return 0;
}
