// Linked with one subsystem library in whole: the link succeeds only if that library
// and the layers it declares below it define everything it uses.
int main()
{
    return 0;
}
