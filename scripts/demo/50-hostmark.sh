# TarvoHostmark_V_1_0_1_0: this machine's identifier as a Java host application gets it,
# through the four native methods of org.tarvo.hostmark.Hostmark (sourced by demo.sh).
hostmark_java=$(sed -n 's/^Java_JAVA_EXECUTABLE:[A-Z]*=//p' build/linux/CMakeCache.txt)
hostmark() {
  "${hostmark_java:-java}" -Djava.library.path=build/linux/bin -cp build/linux/hostmark-classes \
    org.tarvo.hostmark.Hostmark "$@"
}

echo
echo "== TarvoHostmark_V_1_0_1_0: this machine's identifier through the Java binding (Linux)"
printf '\n$ java -Djava.library.path=build/linux/bin org.tarvo.hostmark.Hostmark\n'
hostmark
printf '\n$ java -Djava.library.path=build/linux/bin org.tarvo.hostmark.Hostmark "host application A"\n'
hostmark "host application A"
printf '\n$ java -Djava.library.path=build/linux/bin org.tarvo.hostmark.Hostmark "host application B"\n'
hostmark "host application B"
