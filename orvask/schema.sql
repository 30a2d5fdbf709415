-- The two tables of Orvask.db. Orvask reads and writes them but never creates or
-- alters them: every installation of the program is given a database made from this
-- file (`sqlite3 Orvask.db < schema.sql`), and the packages ship one ready made.
CREATE TABLE TBWhiteList (IDWhiteList INTEGER PRIMARY KEY AUTOINCREMENT, Name TEXT, Version TEXT, ProductCode TEXT, Path TEXT, Date TEXT);
CREATE TABLE TBBlackList (IDBlackList INTEGER PRIMARY KEY AUTOINCREMENT, Name TEXT, Version TEXT, ProductCode TEXT, Path TEXT, Date TEXT);
