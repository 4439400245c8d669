// Entry point of corvel-service (placeholder until the service spine lands).
int main()
{
    return 0;
}
