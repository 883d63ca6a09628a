// The message tables are this library's resources; it has no code of its own.
namespace quodra::strings {
int MessageTablesLinked() { return 1; }
}  // namespace quodra::strings
