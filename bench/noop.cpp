// The floor for any run: a static program that only returns 0.
int main()
{
    return 0;
}
