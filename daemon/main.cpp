// quelmar's entry point: start-up, then the accept loop.
int main() {
    return 0;
}
