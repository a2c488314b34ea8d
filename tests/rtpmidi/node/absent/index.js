throw new Error('DNS-SD modules are not installed for the tests');
